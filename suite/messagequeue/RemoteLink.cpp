#include "RemoteLink.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <vector>

#include "FrameExchange.h"
#include "HostAddresses.h"
#include "RelayTrust.h"

namespace zandrel {

namespace {

// A TCP connection to the relay port at the first of `addresses` that takes one, in `fd`.
// 0, or the errno value of the last attempt (ECANCELED at once when told to stop).
int ConnectToRelay(const std::vector<std::uint32_t>& addresses, std::uint16_t port, std::int64_t deadlineMs,
                   int cancelFd, int& fd) {
    int error = ECONNREFUSED;
    for (const std::uint32_t address : addresses) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = address;
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
            continue;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 0;
        if (errno == EINPROGRESS) {
            error = WaitFor(fd, POLLOUT, deadlineMs, cancelFd);
            if (error == 0) {
                socklen_t size = sizeof error;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
            }
            if (error == 0) return 0;
        } else {
            error = errno;
        }
        ::close(fd);
        fd = -1;
        if (error == ECANCELED) break;
    }
    return error;
}

// On this computer, every user can listen on an address and port that no relay of this
// user holds: the program that took the connection must be this user's, or nothing goes
// out (not even a relay for the answers starts). 0, or an errno value (traced).
int CheckRelayIsThisUsers(int fd, std::uint16_t port, std::int64_t deadlineMs, int cancelFd) {
    const std::string peerAddress = SocketAddressText(fd, true);
    if (!IsThisComputersAddress(peerAddress)) return 0;
    const std::string at = peerAddress + ":" + std::to_string(port);
    uid_t holder = 0;
    const int looked = LocalListenerUser(
        fd, std::chrono::steady_clock::time_point(std::chrono::milliseconds(deadlineMs)), cancelFd, holder);
    if (looked == ECANCELED) return ECANCELED;
    if (looked != 0) {
        TraceLine("Zandrel.MessageQueue: whose program listens at " + at + " cannot be told: nothing sent");
        // Not told within the message's time: it has failed as a message not taken in
        // time does. Otherwise the kernel cannot say: refused.
        return looked == ETIMEDOUT ? ETIMEDOUT : EACCES;
    }
    if (holder != ::geteuid()) {
        TraceLine("Zandrel.MessageQueue: " + at + " is held by a process of user " + std::to_string(holder) +
                  ", not of this user: nothing sent");
        return EACCES;
    }
    return 0;
}

}  // namespace

int SendRemote(const QueueConfig& config, const QString& host, const QByteArray& frame,
               WireAck& ack, ConnectionEnds* ends, int cancelFd,
               const std::function<void(const ConnectionEnds&)>& onConnected, bool* written) {
    if (written != nullptr) *written = false;
    std::int64_t deadlineMs = NowMs() + config.sendTimeoutMs;
    // IPv4 only: a relay listens on one IPv4 address (`--bind`), and the answers come back
    // to the IPv4 address this connection leaves from.
    std::vector<std::uint32_t> addresses;
    if (const int error = ResolveIPv4(host, deadlineMs, cancelFd, addresses)) return error;
    int fd = -1;
    if (const int error = ConnectToRelay(addresses, config.relayPort, deadlineMs, cancelFd, fd)) return error;
    FdCloser closer(fd);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (const int error = CheckRelayIsThisUsers(fd, config.relayPort, deadlineMs, cancelFd)) return error;
    if (ends != nullptr || onConnected) {
        const ConnectionEnds here{SocketAddressText(fd, false), SocketAddressText(fd, true)};
        if (ends != nullptr) *ends = here;
        if (onConnected) {
            onConnected(here);
            // What it waited for happened on this computer: the relay there has its full
            // time from now on. (A frame written with no time left would reach the relay
            // while its acknowledgement was given up on at once, and the retry would
            // deliver the message twice.)
            deadlineMs = NowMs() + config.sendTimeoutMs;
        }
    }
    // Told to stop meanwhile: nothing goes out.
    if (IsCancelled(cancelFd)) return ECANCELED;

    if (written != nullptr) *written = true;
    if (const int e = WriteAll(fd, frame.constData(), static_cast<std::size_t>(frame.size()), deadlineMs, cancelFd))
        return e;
    return ReadAck(fd, deadlineMs, ack, cancelFd);
}

}  // namespace zandrel
