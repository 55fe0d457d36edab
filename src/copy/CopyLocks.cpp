#include "copy/CopyLocks.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace hv {

namespace {

constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;

}  // namespace

SourceLock SourceLock::Take(int folder, const QByteArray& name, int& error) {
    SourceLock source;
    source.fd_ = fs::UniqueFd(fs::OpenAtRetrying(folder, name.constData(), kReadFlags));
    error = source.fd_.Valid() ? 0 : errno;
    if (error == 0 && ::flock(source.fd_.Get(), LOCK_SH | LOCK_NB) != 0) error = errno;
    if (error == 0 && !fs::ReadInfo(source.fd_.Get(), source.taken_, &error)) error = error != 0 ? error : EIO;
    if (error == 0 && !source.taken_.IsRegular) error = EINVAL;
    if (error != 0) return {};  // what was opened is closed as `source` ends
    (void)::posix_fadvise(source.fd_.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return source;
}

bool EarlierCopyLock::Take(int folder, const QByteArray& name) {
    fd_ = fs::UniqueFd(fs::OpenAtRetrying(folder, name.constData(), kReadFlags));
    return !fd_.Valid() || ::flock(fd_.Get(), LOCK_EX | LOCK_NB) == 0;
}

TemporaryTarget::~TemporaryTarget() {
    fd_.Close();
    if (made_) (void)::unlinkat(folder_, name_.constData(), 0);
}

bool TemporaryTarget::Create(int folder, QByteArray name) {
    folder_ = folder;
    name_ = std::move(name);
    fd_ = fs::UniqueFd(fs::OpenAtRetrying(folder_, name_.constData(),
                                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_DSYNC,
                                          0644));
    made_ = fd_.Valid();
    return made_;
}

bool TemporaryTarget::Lock() {
    if (::flock(fd_.Get(), LOCK_EX | LOCK_NB) != 0) return false;
    (void)::posix_fadvise(fd_.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

bool TemporaryTarget::RenameTo(const QByteArray& target) {
    if (::renameat(folder_, name_.constData(), folder_, target.constData()) != 0) return false;
    made_ = false;
    return true;
}

}  // namespace hv
