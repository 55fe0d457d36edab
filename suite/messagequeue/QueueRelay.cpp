// The message queue relay: takes frames from other computers on a TCP port and hands
// each to the named queue on this computer, answering every frame with an
// acknowledgement that carries the outcome.
//
//   ZandrelQueueRelay [--port N] [--bind ADDRESS] [--trust ADDRESS]... [--with-parent]
//
// The port defaults to ZANDREL_QUEUE_RELAY_PORT or 17420; port 0 takes a free one. The
// relay listens on the one address it is given (the loopback address by default) and
// takes frames only from the hosts it trusts: the addresses given with --trust, the
// address it listens on and the loopback addresses. Others are refused, each host logged
// once. Every message it hands on carries its sender's address as the relay saw it, so
// that an answer finds its way back without the answering computer knowing our name.
// With --with-parent it ends when the thread that started it ends (the message queue
// component starts one that way for the answers of another computer).
// Once listening, the relay prints "listening <port>" on its standard output.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "QueueTransport.h"
#include "QueueWire.h"
#include "platform/ResultCodes.h"
#include "platform/Trace.h"

namespace {

int ListenTcp(const char* bindAddress, std::uint16_t port, std::uint16_t& boundPort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, bindAddress, &address.sin_addr) != 1) {
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

std::string PeerAddress(int fd) { return zandrel::SocketAddressText(fd, true); }

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    zandrel::QueueConfig config = zandrel::QueueConfig::FromEnvironment();
    std::uint16_t port = config.relayPort;
    const char* bindAddress = "127.0.0.1";
    std::set<std::string> trusted = {"127.0.0.1", "::1", "::ffff:127.0.0.1"};
    bool withParent = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            port = static_cast<std::uint16_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--bind" && i + 1 < argc) {
            bindAddress = argv[++i];
        } else if (arg == "--trust" && i + 1 < argc) {
            trusted.insert(argv[++i]);
        } else if (arg == "--with-parent") {
            withParent = true;
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() == 1) return 0;  // the parent has gone already
        } else {
            std::fprintf(stderr, "usage: %s [--port N] [--bind ADDRESS] [--trust ADDRESS]...\n", argv[0]);
            return 2;
        }
    }
    trusted.insert(bindAddress);

    std::uint16_t boundPort = 0;
    const int fd = ListenTcp(bindAddress, port, boundPort);
    if (fd < 0) {
        // A relay started for the answers of a sender finds one there already when this
        // computer's own relay (or another sender's) listens on that address: it gives way.
        if (errno == EADDRINUSE && withParent)
            std::fprintf(stderr, "ZandrelQueueRelay: a relay listens on %s:%u already; this one gives way\n",
                         bindAddress, static_cast<unsigned>(port));
        else
            std::fprintf(stderr, "ZandrelQueueRelay: cannot listen on %s:%u: %s\n", bindAddress,
                         static_cast<unsigned>(port), std::strerror(errno));
        return 1;
    }

    zandrel::FrameServer server(
        fd, "ZandrelQueueRelay",
        [&config](int clientFd, zandrel::Frame&& frame) {
            zandrel::WireAck ack;
            if (frame.kind != zandrel::FrameKind::Message) {
                ack.res = hv::E_INVALIDARG;
                ack.result = EPROTO;
                WriteAck(clientFd, ack);
                return;
            }
            // The sender's address as seen here, not the name it gave: the answer goes there.
            const std::string sender = PeerAddress(clientFd);
            if (!sender.empty()) frame.message.senderHost = QString::fromStdString(sender);
            QByteArray bytes;
            if (!zandrel::EncodeMessage(frame.message, bytes)) {
                ack.res = hv::E_INVALIDARG;
                ack.result = EMSGSIZE;
                WriteAck(clientFd, ack);
                return;
            }
            const int error = zandrel::SendLocal(config, frame.message.targetQueue, bytes);
            if (error == 0) {
                ack.status = 1;
            } else {
                ack.res = zandrel::ResultFromErrno(error);
                ack.result = error;
            }
            WriteAck(clientFd, ack);
        },
        {});
    server.SetIdleTimeoutMs(config.idleConnectionTimeoutMs);
    // Each stranger is logged once; the first kMaxLoggedStrangers are remembered, then one
    // line says that further ones go unlogged (a scan of the network cannot fill memory).
    constexpr std::size_t kMaxLoggedStrangers = 1024;
    std::set<std::string> refused;
    server.SetAcceptCheck([&trusted, &refused](int clientFd) {
        const std::string peer = PeerAddress(clientFd);
        if (trusted.count(peer) != 0) return true;
        if (refused.size() < kMaxLoggedStrangers) {
            if (refused.insert(peer).second)
                hv::Trace("ZandrelQueueRelay: refused " + peer + ", not a trusted host\n");
            if (refused.size() == kMaxLoggedStrangers)
                hv::Trace(std::string("ZandrelQueueRelay: further strangers are refused without a line\n"));
        }
        return false;
    });

    std::printf("listening %u\n", static_cast<unsigned>(boundPort));
    std::fflush(stdout);
    server.Run();
    return 0;
}
