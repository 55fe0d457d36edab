// Helper of the single-instance test: takes the lock named on the command line, says
// "held" or "refused" on standard output, and (when held) waits to be killed.
#include <unistd.h>

#include <cstdio>

#include "platform/SingleInstance.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    hv::SingleInstance lock(argv[1]);
    if (!lock.Acquire()) {
        std::fputs("refused\n", stdout);
        std::fflush(stdout);
        return 1;
    }
    std::fputs("held\n", stdout);
    std::fflush(stdout);
    for (;;) pause();
}
