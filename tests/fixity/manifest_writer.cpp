// Replaces a folder's checksum manifest again and again, as the copy worker does, for the
// test that kills a writer in the middle of a write:
//   manifest_writer <folder> <lines>
// Writes <lines> checksum lines of one digest, then of another, and so on, until killed.
// Exit code 1 when a write fails, 2 for bad arguments.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fixity/Manifest.h"

int main(int argc, char** argv) {
    const int lines = argc == 3 ? std::atoi(argv[2]) : 0;
    if (lines <= 0) {
        std::fprintf(stderr, "usage: manifest_writer <folder> <lines>\n");
        return 2;
    }
    const int folder = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return 1;
    const QByteArray digests[] = {QByteArray(64, 'a'), QByteArray(64, 'b')};
    for (unsigned round = 0;; ++round) {
        std::vector<hv::fixity::ChecksumRecord> records;
        records.reserve(static_cast<std::size_t>(lines));
        for (int i = 0; i < lines; ++i)
            records.push_back({"cam" + QByteArray::number(i % 4) + "/" + QByteArray::number(i) + "_1.mp4",
                               digests[round % 2]});
        int error = 0;
        if (!hv::fixity::RecordChecksums(folder, records, hv::fixity::RecordMode::Replace, 10'000, &error)) {
            std::fprintf(stderr, "manifest_writer: error %d\n", error);
            return 1;
        }
    }
}
