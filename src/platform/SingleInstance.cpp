#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/RuntimeFolder.h"

namespace hv {

SingleInstance::SingleInstance(std::string name) : name_(std::move(name)) {}

SingleInstance::~SingleInstance() { Release(); }

bool SingleInstance::Acquire() {
    if (fd_ >= 0) return true;
    lastError_ = 0;
    problem_.clear();
    const std::string folder = UserRuntimeFolder(&problem_);
    if (folder.empty()) {
        lastError_ = errno != 0 ? errno : ENOENT;
        return false;
    }
    path_ = folder + '/' + PathComponentFor(name_) + ".lock";
    // Never through a link: the folder is the user's own, but the file is opened as it is found.
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        lastError_ = errno;
        problem_ = path_ + ": " + std::strerror(lastError_);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) return false;  // held by a live process
        lastError_ = error;
        problem_ = path_ + ": " + std::strerror(error);
        return false;
    }
    fd_ = fd;
    return true;
}

void SingleInstance::Release() {
    // The file stays: removing it while another process opens it would let two hold a lock.
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace hv
