#include "HostAddresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <thread>

#include "FrameExchange.h"

namespace zandrel {

namespace {

// A name resolution under way on its helper thread: shared by the helper and whoever waits.
struct Resolution {
    Resolution() : doneFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Resolution() {
        if (doneFd >= 0) ::close(doneFd);
    }
    const int doneFd;  // readable once the helper is done
    std::mutex mutex;
    int error = 0;
    std::vector<std::uint32_t> addresses;
};

// On the helper thread: resolves `name` into `resolution`, then says it is done.
void Resolve(const QByteArray& name, Resolution& resolution) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::vector<std::uint32_t> got;
    if (::getaddrinfo(name.constData(), nullptr, &hints, &found) == 0) {
        for (const addrinfo* a = found; a != nullptr; a = a->ai_next)
            if (a->ai_family == AF_INET)
                got.push_back(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
        ::freeaddrinfo(found);
    }
    {
        std::lock_guard lock(resolution.mutex);
        resolution.addresses = std::move(got);
        resolution.error = resolution.addresses.empty() ? EHOSTUNREACH : 0;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(resolution.doneFd, &one, sizeof one);
}

}  // namespace

std::string SocketAddressText(int fd, bool peer) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    const int got = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size)
                         : ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    if (got != 0) return {};
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr, text, sizeof text);
    }
    return text;
}

std::vector<std::uint32_t> InterfaceAddresses() {
    std::vector<std::uint32_t> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return addresses;
    for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next)
        if (a->ifa_addr != nullptr && a->ifa_addr->sa_family == AF_INET)
            addresses.push_back(reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr);
    ::freeifaddrs(list);
    return addresses;
}

bool IsLoopbackAddress(std::uint32_t address) { return (ntohl(address) >> 24) == 127; }

bool IsThisComputersAddress(const std::string& address) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
    if (IsLoopbackAddress(parsed.s_addr)) return true;
    const std::vector<std::uint32_t> own = InterfaceAddresses();
    return std::find(own.begin(), own.end(), parsed.s_addr) != own.end();
}

int ResolveIPv4(const QString& host, std::int64_t deadlineMs, int cancelFd, std::vector<std::uint32_t>& addresses) {
    addresses.clear();
    const QByteArray name = host.toUtf8();
    in_addr numeric{};
    if (::inet_pton(AF_INET, name.constData(), &numeric) == 1) {
        addresses.push_back(numeric.s_addr);
        return 0;
    }
    auto resolution = std::make_shared<Resolution>();
    if (resolution->doneFd < 0) return errno;
    // The helper holds only the shared state: a caller that has stopped waiting leaves it to
    // finish on its own (the resolver cannot be interrupted), and it writes no trace.
    std::thread([resolution, name] { Resolve(name, *resolution); }).detach();
    if (const int error = WaitFor(resolution->doneFd, POLLIN, deadlineMs, cancelFd)) return error;
    std::lock_guard lock(resolution->mutex);
    addresses = resolution->addresses;
    return resolution->error;
}

}  // namespace zandrel
