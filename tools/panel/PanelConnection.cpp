#include "PanelConnection.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace hv::panel {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Connects one address without blocking longer than `timeoutMs`; 0 or the errno.
int ConnectOne(int fd, const addrinfo& address, int timeoutMs) {
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do ready = ::poll(&p, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready == 0) return ETIMEDOUT;
    if (ready < 0) return errno;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    return error;
}

}  // namespace

PanelConnection::~PanelConnection() {
    if (fd_ >= 0) ::close(fd_);
}

PanelConnection::Failure PanelConnection::Connect(const std::string& host, const std::string& port,
                                                  int timeoutMs, std::string& error) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string where = host + ":" + port;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int status = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); status != 0) {
        error = "cannot connect to " + where + ": " + ::gai_strerror(status);
        return Failure::Unreachable;
    }
    bool refused = false;
    int lastError = 0;
    for (const addrinfo* address = found; address; address = address->ai_next) {
        const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                address->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        const int result = ConnectOne(fd, *address, MsLeft(deadline));
        if (result == 0) {
            fd_ = fd;
            ::freeaddrinfo(found);
            return Failure::None;
        }
        ::close(fd);
        lastError = result;
        refused = refused || result == ECONNREFUSED;
        if (MsLeft(deadline) == 0) break;
    }
    ::freeaddrinfo(found);
    if (refused) {
        error = "cannot connect to " + where + ": connection refused (is Halvane running, with its "
                "controller port set to " + port + "?)";
        return Failure::Refused;
    }
    error = "cannot connect to " + where + ": " +
            (lastError == ETIMEDOUT ? std::string("no reply within ") + std::to_string(timeoutMs) + " ms"
                                    : std::string(std::strerror(lastError)));
    return Failure::Unreachable;
}

bool PanelConnection::SendAll(std::string_view bytes, std::string& error) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd p{fd_, POLLOUT, 0};
                if (::poll(&p, 1, 5000) > 0) continue;
                error = "Halvane takes no more bytes";
                return false;
            }
            error = std::string("the connection is gone: ") + std::strerror(errno);
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

PanelConnection::ReadResult PanelConnection::Read(int timeoutMs, std::string& out, std::string& error) {
    pollfd p{fd_, POLLIN, 0};
    int ready;
    do ready = ::poll(&p, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready == 0) return ReadResult::Timeout;
    if (ready < 0) {
        error = std::strerror(errno);
        return ReadResult::Failed;
    }
    char buffer[4096];
    ssize_t n;
    do n = ::recv(fd_, buffer, sizeof buffer, 0);
    while (n < 0 && errno == EINTR);
    if (n == 0) return ReadResult::Closed;
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadResult::Timeout;
        error = std::strerror(errno);
        return errno == ECONNRESET ? ReadResult::Closed : ReadResult::Failed;
    }
    out.append(buffer, static_cast<std::size_t>(n));
    return ReadResult::Data;
}

}  // namespace hv::panel
