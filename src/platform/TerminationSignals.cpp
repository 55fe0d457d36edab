#include "platform/TerminationSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

namespace hv {

namespace {

constexpr int kHandledSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The write end of the pipe, for the signal handler: a handler can reach nothing else.
volatile sig_atomic_t g_signalWriteFd = -1;

void OnSignal(int signalNumber) {
    const int savedErrno = errno;
    // The next signal of this kind ends the program: a close that hangs can still be ended.
    std::signal(signalNumber, SIG_DFL);
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    if (g_signalWriteFd >= 0) [[maybe_unused]] const ssize_t n = ::write(g_signalWriteFd, &number, 1);
    errno = savedErrno;
}

}  // namespace

TerminationSignals::TerminationSignals() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return;
    readFd_ = fds[0];
    g_signalWriteFd = fds[1];
    notifier_ = std::make_unique<QSocketNotifier>(readFd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &TerminationSignals::ReadPending);
    for (const int signalNumber : kHandledSignals) {
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(signalNumber, &action, nullptr);
    }
}

TerminationSignals::~TerminationSignals() {
    for (const int signalNumber : kHandledSignals) std::signal(signalNumber, SIG_DFL);
    notifier_.reset();
    const int writeFd = g_signalWriteFd;
    g_signalWriteFd = -1;
    if (writeFd >= 0) ::close(writeFd);
    if (readFd_ >= 0) ::close(readFd_);
}

bool TerminationSignals::IsValid() const { return notifier_ != nullptr && notifier_->isValid(); }

void TerminationSignals::IgnoreBrokenPipes() { std::signal(SIGPIPE, SIG_IGN); }

const char* TerminationSignals::Name(int signalNumber) {
    switch (signalNumber) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: return "signal";
    }
}

// GUI thread.
void TerminationSignals::ReadPending() {
    unsigned char numbers[16];
    for (;;) {
        const ssize_t got = ::read(readFd_, numbers, sizeof numbers);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            return;
        }
        for (ssize_t i = 0; i < got; ++i) emit Received(numbers[i]);
    }
}

}  // namespace hv
