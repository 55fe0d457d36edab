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
// default) and prints "listening <port>" on its standard output once it does. It marks that
// address and port as served by this user's relay, with the addresses it trusts
// (HoldRelayMark, LocalQueues.h), so that the processes of this user on this computer
// take the answers of those computers through it instead of listening there themselves; a
// relay for the answers that listens there already leaves the port to it within a second
// or two, and the relay waits that long for the port.
//
// With --with-parent it is the relay that takes the answers of other computers for the
// process that started it (the message queue component): it ends when its standard input
// ends (its parent holds the other end, so also when the parent dies), prints "ready", and
// takes lines on its standard input, answering each with one line:
//   listen ADDRESS    ->  "listening ADDRESS PORT" or "cannot-listen ADDRESS PORT <reason>"
//   unlisten ADDRESS  ->  "unlistening ADDRESS"
//   trust ADDRESS     ->  "trusting ADDRESS" or "cannot-trust ADDRESS"
//   distrust ADDRESS  ->  "distrusting ADDRESS"
// It gives up listening on an address as long as this user's relay marks it served (and
// listens there again once that relay has gone). With --deliver-to-pid it delivers only to
// queues held by that process and answers no presence questions.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "FrameExchange.h"
#include "FrameServer.h"
#include "HostAddresses.h"
#include "LocalQueues.h"
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
    if (!zandrel::SendAck(fd, ack)) hv::Trace(std::string("ZandrelQueueRelay: could not acknowledge a frame\n"));
}

zandrel::WireAck Refusal(std::int32_t res, int error) {
    zandrel::WireAck ack;
    ack.res = res;
    ack.result = error;
    return ack;
}

// How long a relay alone waits for its port while a relay for the answers of this user's
// leaves it.
constexpr int kPortWaitMs = 5000;
constexpr int kPortRetryMs = 100;

// ListenTcp, waiting up to `waitMs` while the port is in use.
int ListenTcpWaiting(const std::string& bindAddress, std::uint16_t port, std::uint16_t& boundPort, int waitMs) {
    for (int waited = 0;; waited += kPortRetryMs) {
        const int fd = ListenTcp(bindAddress, port, boundPort);
        if (fd >= 0 || errno != EADDRINUSE || waited >= waitMs) return fd;
        ::usleep(kPortRetryMs * 1000);
    }
}

// A message for a queue here, or a presence question: the acknowledgement that answers it.
zandrel::WireAck Handle(const zandrel::QueueConfig& config, const Options& options, const zandrel::RelayTrust& trust,
                        int clientFd, zandrel::Frame& frame) {
    // A sender no longer trusted (its computer let go of) gets nothing through a connection
    // it opened before.
    if (!trust.Trusts(zandrel::SocketAddressText(clientFd, true))) return Refusal(hv::E_ACCESSDENIED, EACCES);
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
    ControlInput(const zandrel::QueueConfig& config, const Options& options, zandrel::FrameServer& server,
                 zandrel::RelayTrust& trust)
        : config_(config), options_(options), server_(server), trust_(trust) {}

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

    // Every round: an address that this user's own relay serves is left to it, and taken
    // again once that relay has gone.
    void OnTick() {
        for (auto it = listening_.begin(); it != listening_.end();) {
            if (!zandrel::RelayMarked(config_, it->first, options_.port)) {
                ++it;
                continue;
            }
            server_.RemoveListener(it->second);
            hv::Trace("ZandrelQueueRelay: left " + it->first + ":" + std::to_string(options_.port) +
                      " to this user's relay there\n");
            yielded_.insert(it->first);
            it = listening_.erase(it);
        }
        for (auto it = yielded_.begin(); it != yielded_.end();) {
            std::uint16_t bound = 0;
            const int fd = zandrel::RelayMarked(config_, *it, options_.port) ? -1 : ListenTcp(*it, options_.port, bound);
            if (fd < 0) {
                ++it;
                continue;
            }
            server_.AddListener(fd);
            listening_[*it] = fd;
            it = yielded_.erase(it);
        }
    }

private:
    void Obey(const std::string& line) {
        const std::size_t space = line.find(' ');
        const std::string word = line.substr(0, space);
        const std::string address = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (word == "trust") {
            Say((trust_.Trust(address) ? "trusting " : "cannot-trust ") + address);
        } else if (word == "distrust") {
            trust_.Distrust(address);
            Say("distrusting " + address);
        } else if (word == "listen") {
            const std::string where = address + " " + std::to_string(options_.port);
            if (listening_.count(address) != 0) {
                Say("listening " + where);
                return;
            }
            std::uint16_t bound = 0;
            const int fd = ListenTcp(address, options_.port, bound);
            if (fd < 0) {
                const std::string reason = std::strerror(errno);
                hv::Trace("ZandrelQueueRelay: cannot listen on " + address + ":" + std::to_string(options_.port) + ": " +
                          reason + "\n");
                Say("cannot-listen " + where + " " + reason);
                return;
            }
            server_.AddListener(fd);
            listening_[address] = fd;
            yielded_.erase(address);
            Say("listening " + where);
        } else if (word == "unlisten") {
            const auto found = listening_.find(address);
            if (found != listening_.end()) {
                server_.RemoveListener(found->second);
                listening_.erase(found);
            }
            yielded_.erase(address);
            Say("unlistening " + address);
        } else {
            Say("unknown " + word);
        }
    }

    const zandrel::QueueConfig& config_;
    const Options& options_;
    zandrel::FrameServer& server_;
    zandrel::RelayTrust& trust_;
    std::string pending_;
    std::map<std::string, int> listening_;  // address -> listening socket (the server's)
    std::set<std::string> yielded_;         // left to this user's relay there
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

// Alone: marks the address and port as served (HoldRelayMark) and listens there. The
// listening socket, with its port in `boundPort`; -1 when it cannot listen (said).
int ListenAlone(const zandrel::QueueConfig& config, const Options& options, const zandrel::RelayTrust& trust,
                zandrel::HeldRelayMark& mark, std::uint16_t& boundPort) {
    const std::vector<std::string> trusted(trust.Trusted().begin(), trust.Trusted().end());
    // Marked first: a relay for the answers of this user's that listens there now leaves
    // the port to this one, which waits for it a little.
    const auto holdMark = [&](std::uint16_t port) {
        const int error = zandrel::HoldRelayMark(config, options.bindAddress, port, trusted, mark);
        if (error != 0)
            std::fprintf(stderr, "ZandrelQueueRelay: cannot mark %s:%u as served: %s\n", options.bindAddress.c_str(),
                         static_cast<unsigned>(port), std::strerror(error));
    };
    if (options.port != 0) holdMark(options.port);
    const int fd = ListenTcpWaiting(options.bindAddress, options.port, boundPort, options.port != 0 ? kPortWaitMs : 0);
    if (fd < 0) {
        std::fprintf(stderr, "ZandrelQueueRelay: cannot listen on %s:%u: %s\n", options.bindAddress.c_str(),
                     static_cast<unsigned>(options.port), std::strerror(errno));
        return -1;
    }
    if (options.port == 0) holdMark(boundPort);
    return fd;
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
    zandrel::HeldRelayMark mark;
    if (!options.withParent) {
        fd = ListenAlone(config, options, trust, mark, boundPort);
        if (fd < 0) return 1;
    }
    zandrel::FrameServer server(
        fd, "ZandrelQueueRelay",
        [&config, &options, &trust](int clientFd, zandrel::Frame&& frame) {
            WriteAck(clientFd, Handle(config, options, trust, clientFd, frame));
        },
        {});
    server.SetIdleTimeoutMs(config.idleConnectionTimeoutMs);
    server.SetAcceptCheck([&trust](int clientFd) { return trust.Admit(clientFd); });
    ControlInput control(config, options, server, trust);
    if (options.withParent) {
        server.SetControl(STDIN_FILENO, [&control] { control.OnReadable(); });
        server.SetTick([&control] { control.OnTick(); });
        Say("ready");
    } else {
        Say("listening " + std::to_string(boundPort));
    }
    server.Run();
    return 0;
}
