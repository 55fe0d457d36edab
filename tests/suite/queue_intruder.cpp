// A process of another user trying to get at the queues, the relays and the single-instance
// lock of the user who runs the tests (run it as that other user). Each attempt is one
// group of arguments; for each it prints one line, the attempt and its outcome:
//
//   connect PATH                     connect to the Unix socket at PATH and write a message
//                                    -> "connect PATH acknowledged|closed|refused <reason>"
//   bind PATH                        bind a socket at PATH, to stand in for a queue there
//                                    -> "bind PATH bound|refused <reason>"
//   lock PATH                        open the lock file PATH and lock it
//                                    -> "lock PATH locked|refused <reason>"
//   relay FROM TO PORT QUEUE         hand the relay at TO:PORT a message for QUEUE ("Exit",
//                                    the command that ends a companion), leaving from the
//                                    address FROM ("-": any) -> "relay ... acknowledged <status>|
//                                    closed|refused <reason>"
//   probe FROM TO PORT QUEUE         ask that relay whether QUEUE is held there
//                                    -> "probe ... acknowledged <status>|closed|refused <reason>"
//
// "acknowledged" means the other end took the frame and answered it (with status 1, it
// delivered the message or said the queue is held); "closed" that it shut the connection
// without an answer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "QueueWire.h"

namespace {

QByteArray ExitFor(const char* queue, zandrel::FrameKind kind) {
    zandrel::WireMessage message;
    message.sequence = 1;
    message.senderHost = QStringLiteral("intruder");
    message.senderQueue = QStringLiteral("Intruder");
    message.targetQueue = QString::fromUtf8(queue);
    message.firstText = QStringLiteral("Exit");
    message.secondText = QStringLiteral("Exit");
    QByteArray frame;
    zandrel::EncodeMessage(message, frame, kind);
    return frame;
}

std::string Refused() { return std::string("refused ") + std::strerror(errno); }

// Writes `frame` on the connected `fd` and reads what comes back.
std::string Exchange(int fd, const QByteArray& frame) {
    if (::send(fd, frame.constData(), static_cast<size_t>(frame.size()), MSG_NOSIGNAL) != frame.size())
        return "closed";
    QByteArray received;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) return "no answer";
        char chunk[64];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return "closed";
        received.append(chunk, n);
        zandrel::Frame answer;
        const auto parsed = zandrel::ParseFrame(received.constData(), static_cast<size_t>(received.size()), answer);
        if (parsed.status == zandrel::ParseStatus::Complete && answer.kind == zandrel::FrameKind::Ack)
            return "acknowledged " + std::to_string(answer.ack.status);
        if (parsed.status != zandrel::ParseStatus::NeedMore) return "answered with rubbish";
    }
}

bool UnixAddress(const char* path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) return false;
    std::strcpy(address.sun_path, path);
    return true;
}

std::string Connect(const char* path) {
    sockaddr_un address;
    if (!UnixAddress(path, address)) return "refused path too long";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const std::string outcome = Refused();
        ::close(fd);
        return outcome;
    }
    const std::string outcome = Exchange(fd, ExitFor("Intruded", zandrel::FrameKind::Message));
    ::close(fd);
    return outcome;
}

std::string Bind(const char* path) {
    sockaddr_un address;
    if (!UnixAddress(path, address)) return "refused path too long";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::unlink(path);  // a socket file left there would be in the way
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    const std::string outcome = bound ? "bound" : Refused();
    ::close(fd);
    return outcome;
}

std::string Lock(const char* path) {
    const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return Refused();
    const std::string outcome = ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? "locked" : Refused();
    ::close(fd);
    return outcome;
}

std::string Relay(const char* from, const char* to, const char* port, const char* queue, zandrel::FrameKind kind) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    if (std::strcmp(from, "-") != 0 &&
        (::inet_pton(AF_INET, from, &source.sin_addr) != 1 ||
         ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0)) {
        const std::string outcome = Refused();
        ::close(fd);
        return outcome;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(std::strtoul(port, nullptr, 10)));
    if (::inet_pton(AF_INET, to, &target.sin_addr) != 1 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
        const std::string outcome = Refused();
        ::close(fd);
        return outcome;
    }
    const std::string outcome = Exchange(fd, ExitFor(queue, kind));
    ::close(fd);
    return outcome;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc;) {
        const std::string attempt = argv[i];
        std::string line = attempt;
        std::string outcome;
        if ((attempt == "connect" || attempt == "bind" || attempt == "lock") && i + 1 < argc) {
            const char* path = argv[i + 1];
            outcome = attempt == "connect" ? Connect(path) : attempt == "bind" ? Bind(path) : Lock(path);
            line += std::string(" ") + path;
            i += 2;
        } else if ((attempt == "relay" || attempt == "probe") && i + 4 < argc) {
            outcome = Relay(argv[i + 1], argv[i + 2], argv[i + 3], argv[i + 4],
                            attempt == "relay" ? zandrel::FrameKind::Message : zandrel::FrameKind::Probe);
            for (int k = 1; k <= 4; ++k) line += std::string(" ") + argv[i + k];
            i += 5;
        } else {
            std::fprintf(stderr, "queue_intruder: what is '%s'?\n", argv[i]);
            return 2;
        }
        std::printf("%s %s\n", line.c_str(), outcome.c_str());
        std::fflush(stdout);
    }
    return 0;
}
