// Copies one recording into the archive as the copy worker does, for tests that watch the
// copy from outside (its system calls):
//   copy_one <source> <target> <archive root> [delete]
// Exit code 0 when copied, 1 when not, 2 for bad arguments.
#include <QFile>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "copy/ArchiveRoot.h"
#include "copy/CopyWorker.h"

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5 || (argc == 5 && std::strcmp(argv[4], "delete") != 0)) {
        std::fprintf(stderr, "usage: copy_one <source> <target> <archive root> [delete]\n");
        return 2;
    }
    const hv::ArchiveRoot root = hv::ArchiveRoot::Record(QFile::decodeName(argv[3]));
    std::vector<char> buffer(hv::CopyWorker::kChunkSize);
    std::atomic<int> percent{0};
    std::atomic<bool> stop{false};
    const hv::CopyResult result =
        hv::CopyWorker::CopyFile(argv[1], argv[2], root, buffer, 0, argc == 5, percent, stop);
    if (result != hv::CopyResult::Copied) std::fprintf(stderr, "copy_one: not copied (%d)\n", static_cast<int>(result));
    return result == hv::CopyResult::Copied ? 0 : 1;
}
