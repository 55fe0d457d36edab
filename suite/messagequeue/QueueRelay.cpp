// The message queue relay: takes frames from other computers on a TCP port and hands
// each to the named queue on this computer, answering every frame with an
// acknowledgement that carries the outcome.
//
//   ZandrelQueueRelay [--port N] [--bind ADDRESS] [--trust ADDRESS]...
//   ZandrelQueueRelay --with-parent [--port N] [--deliver-to-pid PID] [--trust ADDRESS]...
//
// The port defaults to ZANDREL_QUEUE_RELAY_PORT or 17420; port 0 takes a free one. The
// relay takes frames only from the addresses given with --trust (RelayTrust.h: an address
// of this computer only for a process of this user); others are refused, each logged once.
// Every message it hands on carries its sender's address as the relay saw it, so that an
// answer finds its way back without the answering computer knowing our name. A presence
// question is answered with whether the queue it names is held here.
//
// Alone, the relay listens on the one address it is given (the loopback address by
// default) and prints "listening <port>" on its standard output once it does.
//
// With --with-parent it is the relay that takes the answers of other computers for the
// process that started it (the message queue component): it ends when its standard input
// ends (its parent holds the other end, so also when the parent dies), prints "ready", and
// takes lines on its standard input, answering each with one line:
//   listen ADDRESS  ->  "listening ADDRESS PORT" or "cannot-listen ADDRESS PORT <reason>"
//   trust ADDRESS   ->  "trusting ADDRESS" or "cannot-trust ADDRESS"
// With --deliver-to-pid it delivers only to queues held by that process and answers no
// presence questions.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "QueueTransport.h"
#include "QueueWire.h"
#include "RelayTrust.h"
#include "platform/ResultCodes.h"
#include "platform/Trace.h"

namespace {

struct Options {
    std::uint16_t port = 0;
    std::string bindAddress = "127.0.0.1";
    std::vector<std::string> trusted;
    bool withParent = false;
    pid_t deliverToPid = 0;
};

int ListenTcp(const std::string& bindAddress, std::uint16_t port, std::uint16_t& boundPort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, bindAddress.c_str(), &address.sin_addr) != 1) {
        errno = EINVAL;
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    boundPort = ntohs(address.sin_port);
    return fd;
}

void WriteAck(int fd, const zandrel::WireAck& ack) {
    const QByteArray bytes = zandrel::EncodeAck(ack);
    // The acknowledgement is small and the sender waits for it; a sender that cannot
    // take it has gone.
    if (::send(fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT) !=
        bytes.size())
        hv::Trace(std::string("ZandrelQueueRelay: could not acknowledge a frame\n"));
}

zandrel::WireAck Refusal(std::int32_t res, int error) {
    zandrel::WireAck ack;
    ack.res = res;
    ack.result = error;
    return ack;
}

// A message for a queue here, or a presence question: the acknowledgement that answers it.
zandrel::WireAck Handle(const zandrel::QueueConfig& config, const Options& options, int clientFd,
                        zandrel::Frame& frame) {
    if (frame.kind == zandrel::FrameKind::Probe) {
        if (options.deliverToPid != 0) return Refusal(hv::E_ACCESSDENIED, EACCES);
        if (!zandrel::IsQueueHeldHere(config, frame.message.targetQueue))
            return Refusal(zandrel::ResultFromErrno(ECONNREFUSED), ECONNREFUSED);
        zandrel::WireAck held;
        held.status = 1;
        return held;
    }
    if (frame.kind != zandrel::FrameKind::Message) return Refusal(hv::E_INVALIDARG, EPROTO);
    // The sender's address as seen here, not the name it gave: the answer goes there.
    const std::string sender = zandrel::SocketAddressText(clientFd, true);
    if (!sender.empty()) frame.message.senderHost = QString::fromStdString(sender);
    QByteArray bytes;
    if (!zandrel::EncodeMessage(frame.message, bytes)) return Refusal(hv::E_INVALIDARG, EMSGSIZE);
    const int error = zandrel::SendLocal(config, frame.message.targetQueue, bytes, options.deliverToPid);
    if (error != 0) return Refusal(zandrel::ResultFromErrno(error), error);
    zandrel::WireAck delivered;
    delivered.status = 1;
    return delivered;
}

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// The lines from the parent (--with-parent), on the relay's thread.
class ControlInput {
public:
    ControlInput(const Options& options, zandrel::FrameServer& server, zandrel::RelayTrust& trust)
        : options_(options), server_(server), trust_(trust) {}

    void OnReadable() {
        char chunk[512];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) return;
        if (n <= 0) {
            server_.Stop();  // the parent has gone, or let go of us
            return;
        }
        pending_.append(chunk, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            const std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            Obey(line);
        }
        if (pending_.size() > 4096) pending_.clear();  // no line is that long
    }

private:
    void Obey(const std::string& line) {
        const std::size_t space = line.find(' ');
        const std::string word = line.substr(0, space);
        const std::string address = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (word == "trust") {
            Say((trust_.Trust(address) ? "trusting " : "cannot-trust ") + address);
        } else if (word == "listen") {
            std::uint16_t bound = 0;
            const int fd = ListenTcp(address, options_.port, bound);
            const std::string where = address + " " + std::to_string(options_.port);
            if (fd < 0) {
                Say("cannot-listen " + where + " " + std::strerror(errno));
                return;
            }
            server_.AddListener(fd);
            Say("listening " + where);
        } else {
            Say("unknown " + word);
        }
    }

    const Options& options_;
    zandrel::FrameServer& server_;
    zandrel::RelayTrust& trust_;
    std::string pending_;
};

bool ReadOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--port" && hasValue) {
            options.port = static_cast<std::uint16_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--bind" && hasValue) {
            options.bindAddress = argv[++i];
        } else if (arg == "--trust" && hasValue) {
            options.trusted.push_back(argv[++i]);
        } else if (arg == "--deliver-to-pid" && hasValue) {
            options.deliverToPid = static_cast<pid_t>(std::strtol(argv[++i], nullptr, 10));
        } else if (arg == "--with-parent") {
            options.withParent = true;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const zandrel::QueueConfig config = zandrel::QueueConfig::FromEnvironment();
    Options options;
    options.port = config.relayPort;
    if (!ReadOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s [--port N] [--bind ADDRESS] [--trust ADDRESS]...\n"
                     "       %s --with-parent [--port N] [--deliver-to-pid PID] [--trust ADDRESS]...\n",
                     argv[0], argv[0]);
        return 2;
    }
    zandrel::RelayTrust trust("ZandrelQueueRelay");
    for (const std::string& address : options.trusted) {
        if (!trust.Trust(address)) {
            std::fprintf(stderr, "ZandrelQueueRelay: --trust wants an IPv4 address, not '%s'\n", address.c_str());
            return 2;
        }
    }

    int fd = -1;
    std::uint16_t boundPort = 0;
    if (!options.withParent) {
        fd = ListenTcp(options.bindAddress, options.port, boundPort);
        if (fd < 0) {
            std::fprintf(stderr, "ZandrelQueueRelay: cannot listen on %s:%u: %s\n", options.bindAddress.c_str(),
                         static_cast<unsigned>(options.port), std::strerror(errno));
            return 1;
        }
    }
    zandrel::FrameServer server(
        fd, "ZandrelQueueRelay",
        [&config, &options](int clientFd, zandrel::Frame&& frame) {
            WriteAck(clientFd, Handle(config, options, clientFd, frame));
        },
        {});
    server.SetIdleTimeoutMs(config.idleConnectionTimeoutMs);
    server.SetAcceptCheck([&trust](int clientFd) { return trust.Admit(clientFd); });
    ControlInput control(options, server, trust);
    if (options.withParent) {
        server.SetControl(STDIN_FILENO, [&control] { control.OnReadable(); });
        Say("ready");
    } else {
        Say("listening " + std::to_string(boundPort));
    }
    server.Run();
    return 0;
}
