#!/usr/bin/env bash
# Takes the README's screenshots again: runs the demo test (a game of the demo venue on a
# virtual display) and copies the pictures it took to docs/images.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target test_demo
rm -f build/desktop-artefacts/demo-*.png
(cd build && QT_QPA_PLATFORM=offscreen bin/test_demo)
mkdir -p docs/images
for picture in icon-menu progress settings-dialog; do
    cp "build/desktop-artefacts/demo-$picture.png" "docs/images/demo-$picture.png"
done
ls -l docs/images/demo-*.png
