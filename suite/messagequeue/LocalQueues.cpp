#include "LocalQueues.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "FrameExchange.h"
#include "platform/RuntimeFolder.h"

namespace zandrel {

namespace {

// A Unix socket address for a path. A path too long for an address (a deep runtime folder)
// is reached through the descriptor of its folder, "/proc/self/fd/<n>/<name>", held for as
// long as the address is used.
class UnixAddress {
public:
    UnixAddress() = default;
    ~UnixAddress() {
        if (folderFd_ >= 0) ::close(folderFd_);
    }
    UnixAddress(const UnixAddress&) = delete;
    UnixAddress& operator=(const UnixAddress&) = delete;

    bool Set(const std::string& path) {
        std::memset(&address_, 0, sizeof address_);
        address_.sun_family = AF_UNIX;
        std::string usable = path;
        if (usable.size() >= sizeof address_.sun_path) {
            const std::size_t slash = path.rfind('/');
            if (slash == std::string::npos) {
                errno = ENAMETOOLONG;
                return false;
            }
            folderFd_ = ::open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (folderFd_ < 0) return false;
            usable = "/proc/self/fd/" + std::to_string(folderFd_) + path.substr(slash);
            if (usable.size() >= sizeof address_.sun_path) {
                errno = ENAMETOOLONG;
                return false;
            }
        }
        std::memcpy(address_.sun_path, usable.data(), usable.size());
        length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + usable.size() + 1);
        return true;
    }
    const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&address_); }
    socklen_t Length() const { return length_; }

private:
    sockaddr_un address_{};
    socklen_t length_ = 0;
    int folderFd_ = -1;
};

std::string LockPathOf(const std::string& socketPath) { return socketPath + ".lock"; }

struct flock WholeFile() {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    return whole;
}

// Opens `path` (made if missing) with the lock of the whole file taken: an
// open-file-description write lock, which dies with its holder and can be looked at
// without being taken (OpenIfLocked). 0 with `fd` set, or an errno value (EADDRINUSE: a
// live process holds it).
int TakeLockedFile(const std::string& path, int& fd) {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return errno;
    struct flock whole = WholeFile();
    if (::fcntl(fd, F_OFD_SETLK, &whole) == 0) return 0;
    const int error = errno;
    ::close(fd);
    fd = -1;
    return error == EAGAIN || error == EACCES ? EADDRINUSE : error;
}

// `path` opened for reading while a live process holds its lock; -1 when nobody does (or
// it was never made).
int OpenIfLocked(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -1;
    struct flock whole = WholeFile();
    if (::fcntl(fd, F_OFD_GETLK, &whole) == 0 && whole.l_type != F_UNLCK) return fd;
    ::close(fd);
    return -1;
}

// What a failed look for the place of a queue or a mark (`lookError`, its errno value)
// comes to: that value, or EACCES when it left none; traced with `line`.
int NoPlace(int lookError, const std::string& line) {
    TraceLine(line);
    return lookError != 0 ? lookError : EACCES;
}

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The folder of the queues of `config`'s scope for a sender or a reader. The folders found
// so far are kept by where they were looked for (the variables that name the runtime
// folder, and the scope): a send does not make and check them again for every message. A
// holder does (HoldQueueName); a folder gone meanwhile only makes the send find nobody there.
std::string KnownQueueFolder(const QueueConfig& config, std::string* why) {
    static std::mutex mutex;
    static std::map<std::string, std::string> folders;
    const std::string key = Variable("XDG_RUNTIME_DIR") + '\n' + Variable("XDG_CACHE_HOME") + '\n' + Variable("HOME") +
                            '\n' + config.scope.toStdString();
    {
        std::lock_guard lock(mutex);
        const auto found = folders.find(key);
        if (found != folders.end()) return found->second;
    }
    std::string folder = QueueFolder(config, why);
    if (folder.empty()) return {};
    std::lock_guard lock(mutex);
    folders[key] = folder;
    return folder;
}

// The socket path of a queue to send to.
std::string SendPath(const QueueConfig& config, const QString& name, std::string* why) {
    if (name.isEmpty()) return QueueSocketPath(config, name, why);
    const std::string folder = KnownQueueFolder(config, why);
    if (folder.empty()) return {};
    return folder + '/' + hv::PathComponentFor(name.toStdString());
}

// A socket listening at `path` in `listenFd`: 0, or an errno value.
int ListenAt(const std::string& path, int& listenFd) {
    UnixAddress address;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    if (!address.Set(path) || ::bind(fd, address.Get(), address.Length()) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    listenFd = fd;
    return 0;
}

// Connects the non-blocking socket `fd` to a queue's socket. 0, or an errno value
// (ECONNREFUSED: nobody holds the name; ETIMEDOUT: its holder's backlog stayed full).
int ConnectLocal(int fd, const UnixAddress& address, std::int64_t deadlineMs) {
    for (;;) {
        if (::connect(fd, address.Get(), address.Length()) == 0) return 0;
        if (errno == EINTR) continue;
        // A full backlog: the holder is busy; try again for a while.
        if (errno == EAGAIN) {
            if (NowMs() >= deadlineMs) return ETIMEDOUT;
            ::poll(nullptr, 0, 1);
            continue;
        }
        // No socket there, or one nobody listens on any more: nobody holds the name.
        return errno == ENOENT ? ECONNREFUSED : errno;
    }
}

// The holder at the other end of `fd` must be this user's (and, when asked, that process):
// what is written there is for no one else. 0, or an errno value (EACCES traced).
int CheckHolder(int fd, const QString& name, pid_t onlyForPid) {
    ucred holder{};
    socklen_t size = sizeof holder;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &holder, &size) != 0) return errno;
    if (holder.uid != ::geteuid()) {
        TraceLine("Zandrel.MessageQueue: '" + name.toStdString() + "' is held by a process of user " +
                  std::to_string(holder.uid) + ", not of this user: nothing sent");
        return EACCES;
    }
    if (onlyForPid != 0 && holder.pid != onlyForPid) {
        TraceLine("Zandrel.MessageQueue: '" + name.toStdString() + "' is held by process " + std::to_string(holder.pid) +
                  ", not by process " + std::to_string(onlyForPid) + ": nothing sent");
        return EACCES;
    }
    return 0;
}

// The mark of a relay that serves `address`:`port`: a name no queue's file can have (those
// are made of letters, digits, '-' and '%').
std::string RelayMarkName(const std::string& address, std::uint16_t port) {
    return "relay@" + address + ':' + std::to_string(port);
}

// The mark of `name` in `folder`, when a running relay holds it.
bool ReadRelayMark(const std::string& folder, const std::string& name, std::vector<std::string>* trusted) {
    const int fd = OpenIfLocked(folder + '/' + name);
    if (fd < 0) return false;  // no relay ever marked it, or its relay has ended
    FdCloser closer(fd);
    if (trusted != nullptr) {
        trusted->clear();
        char text[4096];
        const ssize_t n = ::pread(fd, text, sizeof text, 0);
        std::string list(text, n > 0 ? static_cast<std::size_t>(n) : 0);
        for (std::size_t start = 0, end; (end = list.find('\n', start)) != std::string::npos; start = end + 1)
            trusted->push_back(list.substr(start, end - start));
    }
    return true;
}

}  // namespace

bool IsSameUserPeer(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
    return peer.uid == ::geteuid();
}

std::string QueueFolder(const QueueConfig& config, std::string* why) {
    std::string problem;
    std::string folder = hv::UserRuntimeFolder(&problem);
    if (!folder.empty()) folder = hv::PrivateSubfolder(folder, "zandrel-queues", &problem);
    if (!folder.empty()) folder = hv::PrivateSubfolder(folder, hv::PathComponentFor(config.scope.toStdString()), &problem);
    if (folder.empty() && why != nullptr) *why = problem;
    return folder;
}

std::string QueueSocketPath(const QueueConfig& config, const QString& name, std::string* why) {
    if (name.isEmpty()) {
        if (why != nullptr) *why = "no queue name";
        errno = EINVAL;
        return {};
    }
    const std::string folder = QueueFolder(config, why);
    if (folder.empty()) return {};
    return folder + '/' + hv::PathComponentFor(name.toStdString());
}

void HeldQueueName::Release() {
    // The socket's file goes while the name is still ours: nobody else can have bound it.
    if (!socketPath.empty() && lockFd >= 0) ::unlink(socketPath.c_str());
    socketPath.clear();
    if (listenFd >= 0) ::close(listenFd);
    listenFd = -1;
    if (lockFd >= 0) ::close(lockFd);
    lockFd = -1;
}

int HoldQueueName(const QueueConfig& config, const QString& name, HeldQueueName& held) {
    held.Release();
    std::string why;
    const std::string path = QueueSocketPath(config, name, &why);
    if (path.empty()) {
        const int error = errno;
        return NoPlace(error, "Zandrel.MessageQueue '" + name.toStdString() + "': no place for the queue: " + why);
    }
    if (const int error = TakeLockedFile(LockPathOf(path), held.lockFd)) return error;
    // What an ended holder left behind is only a file: nobody listens there any more.
    ::unlink(path.c_str());
    if (const int error = ListenAt(path, held.listenFd)) {
        held.Release();
        return error;
    }
    held.socketPath = path;
    return 0;
}

bool IsQueueHeldHere(const QueueConfig& config, const QString& name) {
    const std::string path = QueueSocketPath(config, name);
    if (path.empty()) return false;
    const int fd = OpenIfLocked(LockPathOf(path));
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

int SendLocal(const QueueConfig& config, const QString& name, const QByteArray& frame, pid_t onlyForPid) {
    std::string why;
    const std::string path = SendPath(config, name, &why);
    if (path.empty()) {
        const int error = errno;
        return NoPlace(error, "Zandrel.MessageQueue: cannot send to '" + name.toStdString() + "': " + why);
    }
    UnixAddress address;
    if (!address.Set(path)) return errno;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    FdCloser closer(fd);
    const std::int64_t deadlineMs = NowMs() + config.localSendTimeoutMs;
    if (const int error = ConnectLocal(fd, address, deadlineMs)) return error;
    if (const int error = CheckHolder(fd, name, onlyForPid)) return error;
    if (const int error = WriteAll(fd, frame.constData(), static_cast<std::size_t>(frame.size()), deadlineMs))
        return error;
    WireAck ack;
    if (const int error = ReadAck(fd, deadlineMs, ack)) return error;
    return ack.status == 1 ? 0 : (ack.result != 0 ? ack.result : EPROTO);
}

HeldRelayMark::~HeldRelayMark() {
    if (fd >= 0) ::close(fd);
}

int HoldRelayMark(const QueueConfig& config, const std::string& address, std::uint16_t port,
                  const std::vector<std::string>& trusted, HeldRelayMark& mark) {
    std::string why;
    const std::string folder = QueueFolder(config, &why);
    if (folder.empty()) {
        const int error = errno;
        return NoPlace(error,
                       "ZandrelQueueRelay: no place for the mark of " + address + ":" + std::to_string(port) + ": " + why);
    }
    int fd = -1;
    if (const int error = TakeLockedFile(folder + '/' + RelayMarkName(address, port), fd)) return error;
    std::string list;
    for (const std::string& t : trusted) list += t + '\n';
    // One write: a reader sees the whole list or (for a moment) none of it.
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, list.data(), list.size(), 0) != static_cast<ssize_t>(list.size())) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    if (mark.fd >= 0) ::close(mark.fd);
    mark.fd = fd;
    return 0;
}

bool RelayMarked(const QueueConfig& config, const std::string& address, std::uint16_t port,
                 std::vector<std::string>* trusted) {
    const std::string folder = KnownQueueFolder(config, nullptr);
    if (folder.empty()) return false;
    // A relay on every address of this computer serves this one as well.
    return ReadRelayMark(folder, RelayMarkName(address, port), trusted) ||
           ReadRelayMark(folder, RelayMarkName("0.0.0.0", port), trusted);
}

}  // namespace zandrel
