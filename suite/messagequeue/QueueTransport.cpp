#include "QueueTransport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QSysInfo>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

#include "RelayTrust.h"
#include "platform/RuntimeFolder.h"
#include "platform/Trace.h"

namespace zandrel {

namespace {

constexpr std::size_t kReadChunkBytes = 64 * 1024;
// Read from one connection per round at most this much, more than any frame, so that the
// frames of one sender keep their order against a later connection of the same sender.
constexpr std::size_t kMaxReadPerRoundBytes = 4 * (kMaxPayloadBytes + kFrameHeaderBytes);
constexpr int kPollIntervalMs = 1000;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void TraceLine(const std::string& text) { hv::Trace(text + "\n"); }

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

// Waits until `fd` is ready for `events` or the deadline passes. Returns 0, ETIMEDOUT,
// ECANCELED when `cancelFd` (-1: none) became readable, or an errno value.
int WaitFor(int fd, short events, std::int64_t deadlineMs, int cancelFd = -1) {
    for (;;) {
        const std::int64_t leftMs = deadlineMs - NowMs();
        if (leftMs <= 0) return ETIMEDOUT;
        pollfd p[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
        const int n = ::poll(p, cancelFd >= 0 ? 2 : 1, static_cast<int>(leftMs));
        if (n > 0 && cancelFd >= 0 && p[1].revents != 0) return ECANCELED;
        if (n > 0) return 0;
        if (n == 0) return ETIMEDOUT;
        if (errno != EINTR) return errno;
    }
}

int WriteAll(int fd, const char* data, std::size_t size, std::int64_t deadlineMs, int cancelFd = -1) {
    while (size > 0) {
        const ssize_t written = ::send(fd, data, size, MSG_NOSIGNAL);
        if (written > 0) {
            data += written;
            size -= static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (const int error = WaitFor(fd, POLLOUT, deadlineMs, cancelFd)) return error;
            continue;
        }
        return written < 0 ? errno : EPIPE;
    }
    return 0;
}

// Reads the one acknowledgement frame that answers a sent frame.
int ReadAck(int fd, std::int64_t deadlineMs, WireAck& ack, int cancelFd = -1) {
    QByteArray received;
    for (;;) {
        Frame answer;
        const ParseResult parsed = ParseFrame(received.constData(), static_cast<std::size_t>(received.size()), answer);
        if (parsed.status == ParseStatus::Complete) {
            if (answer.kind != FrameKind::Ack) return EPROTO;
            ack = answer.ack;
            return 0;
        }
        if (parsed.status != ParseStatus::NeedMore) return EPROTO;
        char chunk[256];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            received.append(chunk, n);
        } else if (n == 0) {
            return ECONNRESET;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (const int e = WaitFor(fd, POLLIN, deadlineMs, cancelFd)) return e;
        } else if (errno != EINTR) {
            return errno;
        }
    }
}

class FdCloser {
public:
    explicit FdCloser(int fd) : fd_(fd) {}
    ~FdCloser() {
        if (fd_ >= 0) ::close(fd_);
    }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;

private:
    int fd_;
};

}  // namespace

QueueConfig QueueConfig::FromEnvironment() {
    QueueConfig config;
    config.scope = QString::fromLocal8Bit(qgetenv("ZANDREL_QUEUE_SCOPE"));
    bool ok = false;
    const uint port = qEnvironmentVariable("ZANDREL_QUEUE_RELAY_PORT").toUInt(&ok);
    if (ok && port > 0 && port <= 65535) config.relayPort = static_cast<std::uint16_t>(port);
    const int timeoutMs = qEnvironmentVariable("ZANDREL_QUEUE_SEND_TIMEOUT_MS").toInt(&ok);
    if (ok && timeoutMs > 0) config.sendTimeoutMs = timeoutMs;
    const int localTimeoutMs = qEnvironmentVariable("ZANDREL_QUEUE_LOCAL_TIMEOUT_MS").toInt(&ok);
    if (ok && localTimeoutMs > 0) config.localSendTimeoutMs = localTimeoutMs;
    const qulonglong maxBytes = qEnvironmentVariable("ZANDREL_QUEUE_MAX_BYTES").toULongLong(&ok);
    if (ok && maxBytes > 0) config.maxPendingBytes = static_cast<std::size_t>(maxBytes);
    const int idleMs = qEnvironmentVariable("ZANDREL_QUEUE_IDLE_MS").toInt(&ok);
    if (ok && idleMs > 0) config.idleConnectionTimeoutMs = idleMs;
    config.refusedFirstTexts = qEnvironmentVariable("ZANDREL_QUEUE_REFUSE").split(u';', Qt::SkipEmptyParts);
    return config;
}

QString LocalHostName() { return QSysInfo::machineHostName(); }

bool IsLocalHost(const QString& host) {
    if (host.isEmpty() || host.compare(QLatin1StringView("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QString own = LocalHostName();
    if (own.isEmpty()) return false;
    if (host.compare(own, Qt::CaseInsensitive) == 0) return true;
    const QString shortOwn = own.section(u'.', 0, 0);
    return host.compare(shortOwn, Qt::CaseInsensitive) == 0;
}

bool IsSameUserPeer(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
    return peer.uid == ::geteuid();
}

std::int32_t ResultFromErrno(int error) {
    return static_cast<std::int32_t>(0x80070000u | (static_cast<std::uint32_t>(error) & 0xFFFFu));
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

namespace {

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

// The mark of a relay that serves `address`:`port`: a name no queue's file can have (those
// are made of letters, digits, '-' and '%').
std::string RelayMarkName(const std::string& address, std::uint16_t port) {
    return "relay@" + address + ':' + std::to_string(port);
}

}  // namespace

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
        const int error = errno != 0 ? errno : EACCES;
        TraceLine("Zandrel.MessageQueue '" + name.toStdString() + "': no place for the queue: " + why);
        return error;
    }
    // The lock: an open-file-description write lock, which dies with its holder and can be
    // looked at without being taken (IsQueueHeldHere).
    const int lockFd = ::open(LockPathOf(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd < 0) return errno;
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(lockFd, F_OFD_SETLK, &whole) != 0) {
        const int error = errno;
        ::close(lockFd);
        return error == EAGAIN || error == EACCES ? EADDRINUSE : error;
    }
    held.lockFd = lockFd;
    // What an ended holder left behind is only a file: nobody listens there any more.
    ::unlink(path.c_str());
    UnixAddress address;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || !address.Set(path) || ::bind(fd, address.Get(), address.Length()) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        held.Release();
        return error;
    }
    held.listenFd = fd;
    held.socketPath = path;
    return 0;
}

bool IsQueueHeldHere(const QueueConfig& config, const QString& name) {
    const std::string path = QueueSocketPath(config, name);
    if (path.empty()) return false;
    const int fd = ::open(LockPathOf(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;  // never held here
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    const bool held = ::fcntl(fd, F_OFD_GETLK, &whole) == 0 && whole.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

HeldRelayMark::~HeldRelayMark() {
    if (fd >= 0) ::close(fd);
}

int HoldRelayMark(const QueueConfig& config, const std::string& address, std::uint16_t port,
                  const std::vector<std::string>& trusted, HeldRelayMark& mark) {
    std::string why;
    const std::string folder = QueueFolder(config, &why);
    if (folder.empty()) {
        const int error = errno != 0 ? errno : EACCES;
        TraceLine("ZandrelQueueRelay: no place for the mark of " + address + ":" + std::to_string(port) + ": " + why);
        return error;
    }
    const std::string path = folder + '/' + RelayMarkName(address, port);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return errno;
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &whole) != 0) {
        const int error = errno;
        ::close(fd);
        return error == EAGAIN || error == EACCES ? EADDRINUSE : error;
    }
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

namespace {

// The mark of `name` in `folder`, when a running relay holds it.
bool ReadRelayMark(const std::string& folder, const std::string& name, std::vector<std::string>* trusted) {
    const int fd = ::open((folder + '/' + name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;  // no relay ever marked it
    FdCloser closer(fd);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_GETLK, &whole) != 0 || whole.l_type == F_UNLCK) return false;  // its relay has ended
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

bool RelayMarked(const QueueConfig& config, const std::string& address, std::uint16_t port,
                 std::vector<std::string>* trusted) {
    const std::string folder = KnownQueueFolder(config, nullptr);
    if (folder.empty()) return false;
    // A relay on every address of this computer serves this one as well.
    return ReadRelayMark(folder, RelayMarkName(address, port), trusted) ||
           ReadRelayMark(folder, RelayMarkName("0.0.0.0", port), trusted);
}

int SendLocal(const QueueConfig& config, const QString& name, const QByteArray& frame, pid_t onlyForPid) {
    std::string why;
    const std::string path = SendPath(config, name, &why);
    if (path.empty()) {
        const int error = errno != 0 ? errno : EACCES;
        TraceLine("Zandrel.MessageQueue: cannot send to '" + name.toStdString() + "': " + why);
        return error;
    }
    UnixAddress address;
    if (!address.Set(path)) return errno;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    FdCloser closer(fd);
    const std::int64_t deadlineMs = NowMs() + config.localSendTimeoutMs;
    for (;;) {
        if (::connect(fd, address.Get(), address.Length()) == 0) break;
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
    // The holder must be this user's (and, when asked, that process): what is written here
    // is for no one else.
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
    if (const int error = WriteAll(fd, frame.constData(), static_cast<std::size_t>(frame.size()), deadlineMs))
        return error;
    WireAck ack;
    if (const int error = ReadAck(fd, deadlineMs, ack)) return error;
    return ack.status == 1 ? 0 : (ack.result != 0 ? ack.result : EPROTO);
}

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

bool IsThisComputersAddress(const std::string& address) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
    if ((ntohl(parsed.s_addr) >> 24) == 127) return true;
    const std::vector<std::uint32_t> own = InterfaceAddresses();
    return std::find(own.begin(), own.end(), parsed.s_addr) != own.end();
}

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

}  // namespace

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
    std::thread([resolution, name] {
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
            std::lock_guard lock(resolution->mutex);
            resolution->addresses = std::move(got);
            resolution->error = resolution->addresses.empty() ? EHOSTUNREACH : 0;
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(resolution->doneFd, &one, sizeof one);
    }).detach();
    if (const int error = WaitFor(resolution->doneFd, POLLIN, deadlineMs, cancelFd)) return error;
    std::lock_guard lock(resolution->mutex);
    addresses = resolution->addresses;
    return resolution->error;
}

int SendRemote(const QueueConfig& config, const QString& host, const QByteArray& frame,
               WireAck& ack, ConnectionEnds* ends, int cancelFd,
               const std::function<void(const ConnectionEnds&)>& onConnected, bool* written) {
    if (written != nullptr) *written = false;
    std::int64_t deadlineMs = NowMs() + config.sendTimeoutMs;
    // IPv4 only: a relay listens on one IPv4 address (`--bind`), and the answers come back
    // to the IPv4 address this connection leaves from.
    std::vector<std::uint32_t> addresses;
    if (const int error = ResolveIPv4(host, deadlineMs, cancelFd, addresses)) return error;

    int error = ECONNREFUSED;
    int fd = -1;
    for (const std::uint32_t address : addresses) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(config.relayPort);
        to.sin_addr.s_addr = address;
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
            continue;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) break;
        if (errno == EINPROGRESS) {
            error = WaitFor(fd, POLLOUT, deadlineMs, cancelFd);
            if (error == 0) {
                socklen_t size = sizeof error;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
            }
            if (error == 0) break;
        } else {
            error = errno;
        }
        ::close(fd);
        fd = -1;
        if (error == ECANCELED) break;
    }
    if (fd < 0) return error;
    FdCloser closer(fd);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // On this computer, every user can listen on an address and port that no relay of this
    // user holds: the program that took the connection must be this user's, or nothing goes
    // out (not even a relay for the answers starts).
    const std::string peerAddress = SocketAddressText(fd, true);
    if (IsThisComputersAddress(peerAddress)) {
        const std::string at = peerAddress + ":" + std::to_string(config.relayPort);
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
    }
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
    if (cancelFd >= 0) {
        pollfd cancel{cancelFd, POLLIN, 0};
        if (::poll(&cancel, 1, 0) > 0) return ECANCELED;
    }

    if (written != nullptr) *written = true;
    if (const int e = WriteAll(fd, frame.constData(), static_cast<std::size_t>(frame.size()), deadlineMs, cancelFd))
        return e;

    return ReadAck(fd, deadlineMs, ack, cancelFd);
}

// ---------------------------------------------------------------------------------------

FrameServer::FrameServer(int listenFd, std::string label, FrameHandler onFrame, RoundHandler onRound)
    : wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      label_(std::move(label)),
      onFrame_(std::move(onFrame)),
      onRound_(std::move(onRound)) {
    if (listenFd >= 0) listenFds_.push_back(listenFd);
}

FrameServer::~FrameServer() {
    for (Connection& c : connections_) ::close(c.fd);
    for (const int fd : listenFds_) ::close(fd);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void FrameServer::Stop() {
    stop_ = true;
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
}

void FrameServer::RemoveListener(int listenFd) {
    const auto found = std::find(listenFds_.begin(), listenFds_.end(), listenFd);
    if (found == listenFds_.end()) return;
    ::close(listenFd);
    listenFds_.erase(found);
}

void FrameServer::Close(Connection& connection, const char* reason) {
    if (reason != nullptr) TraceLine(label_ + ": dropped a connection: " + reason);
    ::close(connection.fd);
    connection.fd = -1;
}

void FrameServer::AcceptWaiting(int listenFd, std::int64_t nowMs, bool& handledFrame) {
    // A round takes in at most one slot table's worth of new connections, so that a steady
    // stream of senders (each waiting for its acknowledgement, then sending again) cannot
    // keep the round, and with it the arrival announcement, from ending.
    for (std::size_t accepted = 0; accepted < kMaxConnections && connections_.size() < kMaxConnections;
         ++accepted) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                TraceLine(label_ + ": accept failed: " + std::strerror(errno));
            return;
        }
        if (acceptCheck_ && !acceptCheck_(fd)) {
            ::close(fd);
            continue;
        }
        connections_.push_back(Connection{fd, QByteArray(), nowMs});
        // Most senders connect, write one frame and go: read at once what came, after the
        // older connections were read, so that a sender's frames keep their order.
        if (!ReadFrom(connections_.back(), nowMs, handledFrame)) connections_.pop_back();
    }
    // The rest of this round's newcomers are taken in the next round.
    if (connections_.size() < kMaxConnections) return;
    // Further connections wait in the backlog (their senders see a full one in time)
    // rather than being accepted and dropped with what they bring.
    if (!full_) TraceLine(label_ + ": too many open connections, new ones wait");
    full_ = true;
}

bool FrameServer::ReadFrom(Connection& c, std::int64_t nowMs, bool& handledFrame) {
    std::size_t readThisRound = 0;
    bool ended = false;
    while (readThisRound < kMaxReadPerRoundBytes) {
        const qsizetype oldSize = c.buffer.size();
        c.buffer.resize(oldSize + static_cast<qsizetype>(kReadChunkBytes));
        const ssize_t n = ::recv(c.fd, c.buffer.data() + oldSize, kReadChunkBytes, 0);
        c.buffer.resize(oldSize + (n > 0 ? n : 0));
        if (n > 0) {
            readThisRound += static_cast<std::size_t>(n);
            c.lastActivityMs = nowMs;
            continue;
        }
        if (n == 0) {
            ended = true;
            break;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        ended = true;  // reset by the peer: take what came, then close
        break;
    }

    std::size_t offset = 0;
    for (;;) {
        Frame frame;
        const ParseResult parsed = ParseFrame(c.buffer.constData() + offset,
                                              static_cast<std::size_t>(c.buffer.size()) - offset, frame);
        if (parsed.status == ParseStatus::NeedMore) break;
        if (parsed.status != ParseStatus::Complete) {
            Close(c, parsed.status == ParseStatus::TooLarge ? "frame too large"
                                                               : (std::string("malformed frame (") +
                                                                  parsed.error + ")").c_str());
            return false;
        }
        offset += parsed.consumedBytes;
        handledFrame = true;
        onFrame_(c.fd, std::move(frame));
    }
    if (offset > 0) c.buffer.remove(0, static_cast<qsizetype>(offset));
    if (ended) {
        Close(c, c.buffer.isEmpty() ? nullptr : "it ended inside a frame");
        return false;
    }
    return true;
}

void FrameServer::Run() {
    std::vector<pollfd> fds;
    while (!stop_) {
        // The wake-up, the control, the listening sockets, then the connections.
        fds.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({onControl_ ? controlFd_ : -1, POLLIN, 0});
        if (connections_.size() < kMaxConnections) full_ = false;
        // At the limit the listening sockets are not watched, so the loop does not spin.
        const std::size_t listeners = listenFds_.size();
        for (const int fd : listenFds_) fds.push_back({full_ ? -1 : fd, POLLIN, 0});
        const std::size_t firstConnection = fds.size();
        for (const Connection& c : connections_) fds.push_back({c.fd, POLLIN, 0});
        const int n = ::poll(fds.data(), fds.size(), std::min(kPollIntervalMs, idleTimeoutMs_));
        if (stop_) break;
        if (n < 0 && errno != EINTR) {
            TraceLine(label_ + ": poll failed: " + std::strerror(errno));
            break;
        }
        const std::int64_t nowMs = NowMs();
        bool handledFrame = false;
        // Connections first, in the order they came, then new ones: a sender's frames keep
        // their order across its connections.
        const std::size_t polled = connections_.size();
        for (std::size_t i = 0; i < polled; ++i) {
            Connection& c = connections_[i];
            const short revents = fds[firstConnection + i].revents;
            if (revents != 0) {
                ReadFrom(c, nowMs, handledFrame);
            } else if (nowMs - c.lastActivityMs > idleTimeoutMs_) {
                Close(c, c.buffer.isEmpty() ? nullptr : "it stalled inside a frame");
            }
        }
        std::erase_if(connections_, [](const Connection& c) { return c.fd < 0; });
        for (std::size_t i = 0; i < listeners; ++i)
            if (fds[2 + i].revents != 0) AcceptWaiting(listenFds_[i], nowMs, handledFrame);
        if (handledFrame && onRound_) onRound_();
        // Last: the handlers may add or remove listening sockets.
        if (fds[1].revents != 0) onControl_();
        if (onTick_) onTick_();
    }
}

// ---------------------------------------------------------------------------------------

QueueListener::QueueListener(QueueConfig config, QString name, std::function<void()> onArrival)
    : config_(std::move(config)), name_(std::move(name)), onArrival_(std::move(onArrival)) {}

QueueListener::~QueueListener() {
    if (server_) server_->Stop();
    if (thread_.joinable()) thread_.join();
}

int QueueListener::Open() {
    if (server_) return EISCONN;
    if (const int error = HoldQueueName(config_, name_, held_)) return error;
    const int fd = held_.listenFd;
    held_.listenFd = -1;  // the server closes it
    server_ = std::make_unique<FrameServer>(
        fd, "Zandrel.MessageQueue '" + name_.toStdString() + "'",
        [this](int clientFd, Frame&& frame) {
            const int error = Add(std::move(frame));
            WireAck ack;
            if (error == 0) {
                ack.status = 1;
            } else {
                ack.res = ResultFromErrno(error);
                ack.result = error;
            }
            // The sender waits for this small answer; one that cannot take it has gone.
            const QByteArray bytes = EncodeAck(ack);
            ::send(clientFd, bytes.constData(), static_cast<std::size_t>(bytes.size()),
                   MSG_NOSIGNAL | MSG_DONTWAIT);
        },
        [this] {
            if (onArrival_) onArrival_();
        });
    server_->SetIdleTimeoutMs(config_.idleConnectionTimeoutMs);
    // Only processes of this user may leave messages here.
    server_->SetAcceptCheck([name = name_.toStdString()](int clientFd) {
        if (IsSameUserPeer(clientFd)) return true;
        TraceLine("Zandrel.MessageQueue '" + name + "': refused a connection of another user");
        return false;
    });
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "queue listener");
        server_->Run();
    });
    return 0;
}

namespace {
// What a message costs the queue: its texts and its fixed fields.
std::size_t MessageBytes(const WireMessage& m) {
    const qsizetype characters = m.senderHost.size() + m.senderQueue.size() + m.targetHost.size() +
                                 m.targetQueue.size() + m.firstText.size() + m.secondText.size();
    return 12 + 6 * 4 + 2 * static_cast<std::size_t>(characters);
}
}  // namespace

int QueueListener::Add(Frame&& frame) {
    if (frame.kind == FrameKind::Probe) {
        // Whether a queue is held is asked of a relay, never of the queue itself.
        TraceLine("Zandrel.MessageQueue '" + name_.toStdString() + "': ignored a presence question (one for a relay)");
        return EPROTO;
    }
    if (frame.kind != FrameKind::Message) {
        TraceLine("Zandrel.MessageQueue '" + name_.toStdString() + "': ignored a stray acknowledgement");
        return EPROTO;
    }
    const auto refused = [&message = frame.message](const QString& entry) {
        const qsizetype bar = entry.indexOf(u'|');
        if (bar < 0) return entry == message.firstText;
        return QStringView(entry).left(bar) == message.firstText &&
               message.secondText.startsWith(QStringView(entry).mid(bar + 1));
    };
    if (std::any_of(config_.refusedFirstTexts.begin(), config_.refusedFirstTexts.end(), refused)) {
        TraceLine("Zandrel.MessageQueue '" + name_.toStdString() + "': refused message " +
                  std::to_string(frame.message.sequence) + " ('" + frame.message.firstText.left(100).toStdString() +
                  "') as told");
        return EACCES;
    }
    const std::size_t bytes = MessageBytes(frame.message);
    std::lock_guard lock(mutex_);
    if (pending_.size() >= kMaxPendingMessages || pendingBytes_ + bytes > config_.maxPendingBytes) {
        // The sender is told; nothing is dropped without its knowing.
        TraceLine("Zandrel.MessageQueue '" + name_.toStdString() + "': queue full, refused message " +
                  std::to_string(frame.message.sequence));
        return ENOBUFS;
    }
    pendingBytes_ += bytes;
    pending_.push_back(std::move(frame.message));
    return 0;
}

std::size_t QueueListener::Count() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

bool QueueListener::Take(WireMessage& message) {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) return false;
    message = std::move(pending_.front());
    pending_.pop_front();
    pendingBytes_ -= MessageBytes(message);
    return true;
}

}  // namespace zandrel
