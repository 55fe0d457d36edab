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
//   listen ADDRESS PORT              stand in for a relay at ADDRESS:PORT (0: any free port)
//                                    -> "listen ADDRESS PORT listening <port>|refused <reason>";
//                                    then, until its input ends, a line "took QUEUE FIRST
//                                    SECOND" for every message brought, each acknowledged as
//                                    delivered (the last attempt)
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
#include <utility>
#include <vector>

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

// Serves the listening `fd` until standard input ends.
void Serve(int listenFd) {
    std::vector<std::pair<int, QByteArray>> connections;
    for (;;) {
        std::vector<pollfd> watched{{STDIN_FILENO, POLLIN, 0}, {listenFd, POLLIN, 0}};
        for (const auto& c : connections) watched.push_back({c.first, POLLIN, 0});
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (watched[0].revents != 0) {
            char ignored[256];
            if (::read(STDIN_FILENO, ignored, sizeof ignored) <= 0) break;
        }
        if (watched[1].revents != 0) {
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) connections.emplace_back(fd, QByteArray());
        }
        for (std::size_t i = 2; i < watched.size(); ++i) {
            if (watched[i].revents == 0) continue;
            auto& [fd, received] = connections[i - 2];
            char chunk[4096];
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                ::close(fd);
                fd = -1;
                continue;
            }
            received.append(chunk, n);
            for (;;) {
                zandrel::Frame frame;
                const auto parsed = zandrel::ParseFrame(received.constData(), static_cast<size_t>(received.size()), frame);
                if (parsed.status != zandrel::ParseStatus::Complete) break;
                received.remove(0, static_cast<qsizetype>(parsed.consumedBytes));
                std::printf("took %s %s %s\n", frame.message.targetQueue.toUtf8().constData(),
                            frame.message.firstText.toUtf8().constData(), frame.message.secondText.toUtf8().constData());
                std::fflush(stdout);
                zandrel::WireAck ack;
                ack.status = 1;
                const QByteArray answer = zandrel::EncodeAck(ack);
                [[maybe_unused]] const ssize_t sent =
                    ::send(fd, answer.constData(), static_cast<size_t>(answer.size()), MSG_NOSIGNAL);
            }
        }
        std::erase_if(connections, [](const auto& c) { return c.first < 0; });
    }
    for (const auto& c : connections) ::close(c.first);
}

// Binds and listens at ADDRESS:PORT; the listening socket, or -1 with the outcome.
int Listen(const char* address, const char* port, std::string& outcome) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(std::strtoul(port, nullptr, 10)));
    socklen_t size = sizeof at;
    if (::inet_pton(AF_INET, address, &at.sin_addr) != 1 || ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(fd, 16) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
        outcome = Refused();
        ::close(fd);
        return -1;
    }
    outcome = "listening " + std::to_string(ntohs(at.sin_port));
    return fd;
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
        } else if (attempt == "listen" && i + 2 < argc) {
            const int fd = Listen(argv[i + 1], argv[i + 2], outcome);
            std::printf("%s %s %s %s\n", attempt.c_str(), argv[i + 1], argv[i + 2], outcome.c_str());
            std::fflush(stdout);
            if (fd >= 0) {
                Serve(fd);
                ::close(fd);
            }
            i += 3;
            continue;
        } else {
            std::fprintf(stderr, "queue_intruder: what is '%s'?\n", argv[i]);
            return 2;
        }
        std::printf("%s %s\n", line.c_str(), outcome.c_str());
        std::fflush(stdout);
    }
    return 0;
}
