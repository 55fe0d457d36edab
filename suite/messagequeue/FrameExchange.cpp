#include "FrameExchange.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <cerrno>
#include <chrono>

namespace zandrel {

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int WaitFor(int fd, short events, std::int64_t deadlineMs, int cancelFd) {
    for (;;) {
        const std::int64_t leftMs = deadlineMs - NowMs();
        if (leftMs <= 0) return ETIMEDOUT;
        pollfd p[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
        const int n = ::poll(p, cancelFd >= 0 ? 2 : 1, static_cast<int>(leftMs));
        if (n > 0 && cancelFd >= 0 && p[1].revents != 0) return ECANCELED;
        if (n > 0) return 0;
        if (n == 0) return ETIMEDOUT;
        if (errno != EINTR) return errno;
    }
}

bool IsCancelled(int cancelFd) {
    if (cancelFd < 0) return false;
    pollfd cancel{cancelFd, POLLIN, 0};
    return ::poll(&cancel, 1, 0) > 0;
}

int WriteAll(int fd, const char* data, std::size_t sizeBytes, std::int64_t deadlineMs, int cancelFd) {
    while (sizeBytes > 0) {
        const ssize_t written = ::send(fd, data, sizeBytes, MSG_NOSIGNAL);
        if (written > 0) {
            data += written;
            sizeBytes -= static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (const int error = WaitFor(fd, POLLOUT, deadlineMs, cancelFd)) return error;
            continue;
        }
        return written < 0 ? errno : EPIPE;
    }
    return 0;
}

int ReadAck(int fd, std::int64_t deadlineMs, WireAck& ack, int cancelFd) {
    QByteArray received;
    for (;;) {
        Frame answer;
        const ParseResult parsed = ParseFrame(received.constData(), static_cast<std::size_t>(received.size()), answer);
        if (parsed.status == ParseStatus::Complete) {
            if (answer.kind != FrameKind::Ack) return EPROTO;
            ack = answer.ack;
            return 0;
        }
        if (parsed.status != ParseStatus::NeedMore) return EPROTO;
        char chunk[256];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            received.append(chunk, n);
        } else if (n == 0) {
            return ECONNRESET;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (const int e = WaitFor(fd, POLLIN, deadlineMs, cancelFd)) return e;
        } else if (errno != EINTR) {
            return errno;
        }
    }
}

bool SendAck(int fd, const WireAck& ack) {
    const QByteArray bytes = EncodeAck(ack);
    return ::send(fd, bytes.constData(), static_cast<std::size_t>(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT) ==
           bytes.size();
}

FdCloser::~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace zandrel
