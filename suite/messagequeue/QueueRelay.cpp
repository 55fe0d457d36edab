// The message queue relay: takes frames from other computers on a TCP port and hands
// each to the named queue on this computer, answering every frame with an
// acknowledgement that carries the outcome.
//
//   ZandrelQueueRelay [--port N] [--bind ADDRESS]
//
// The port defaults to ZANDREL_QUEUE_RELAY_PORT or 17420; port 0 takes a free one. Once
// listening, the relay prints "listening <port>" on its standard output.

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

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    zandrel::QueueConfig config = zandrel::QueueConfig::FromEnvironment();
    std::uint16_t port = config.relayPort;
    const char* bindAddress = "0.0.0.0";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            port = static_cast<std::uint16_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--bind" && i + 1 < argc) {
            bindAddress = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--port N] [--bind ADDRESS]\n", argv[0]);
            return 2;
        }
    }

    std::uint16_t boundPort = 0;
    const int fd = ListenTcp(bindAddress, port, boundPort);
    if (fd < 0) {
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
            QByteArray bytes;
            zandrel::EncodeMessage(frame.message, bytes);  // it fitted on the way in
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

    std::printf("listening %u\n", static_cast<unsigned>(boundPort));
    std::fflush(stdout);
    server.Run();
    return 0;
}
