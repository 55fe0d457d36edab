#include "platform/SingleInstance.h"

#include <cerrno>
#include <cstddef>
#include <algorithm>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace hv {

// The lock is a Unix socket bound to a name in the abstract namespace: the name belongs to
// the bound socket, and the kernel frees it when the last descriptor of the socket closes,
// which includes the death of the process. Nothing is left in the file system.

SingleInstance::SingleInstance(std::string name) : name_(std::move(name)) {}

SingleInstance::~SingleInstance() { Release(); }

bool SingleInstance::Acquire() {
    if (fd_ >= 0) return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // sun_path[0] = 0 selects the abstract namespace; the name follows.
    const size_t length = std::min(name_.size(), sizeof(address.sun_path) - 1);
    std::memcpy(address.sun_path + 1, name_.data(), length);
    const auto addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        lastError_ = errno;
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), addressLength) != 0) {
        lastError_ = errno;
        ::close(fd);
        return false;
    }
    lastError_ = 0;
    fd_ = fd;
    return true;
}

void SingleInstance::Release() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace hv
