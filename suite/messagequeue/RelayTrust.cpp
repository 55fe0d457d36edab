#include "RelayTrust.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "HostAddresses.h"
#include "platform/Trace.h"

namespace zandrel {

namespace {

// This computer's addresses are read again at most this often (interfaces come and go).
constexpr auto kOwnAddressesFor = std::chrono::seconds(1);

bool Ends(int fd, sockaddr_in& local, sockaddr_in& peer) {
    socklen_t localSize = sizeof local;
    socklen_t peerSize = sizeof peer;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) == 0 &&
           ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) == 0 && local.sin_family == AF_INET &&
           peer.sin_family == AF_INET;
}

std::string Text(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

}  // namespace

namespace {

// A question to the kernel's socket diagnostics about IPv4 TCP sockets.
struct DiagQuestion {
    nlmsghdr header;
    inet_diag_req_v2 request;
};

DiagQuestion TcpQuestion(std::uint16_t flags, std::uint32_t states) {
    DiagQuestion question{};
    question.header.nlmsg_len = sizeof question;
    question.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    question.header.nlmsg_flags = flags;
    question.request.sdiag_family = AF_INET;
    question.request.sdiag_protocol = IPPROTO_TCP;
    question.request.idiag_states = states;
    return question;
}

// Sends `question` to the kernel: the socket to read its answer from (each read waits a
// second at most), or -1 when it could not be asked.
int Ask(const DiagQuestion& question) {
    const int diag = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (diag < 0) return -1;
    const timeval wait{1, 0};
    ::setsockopt(diag, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(diag, &question, sizeof question, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(sizeof question))
        return diag;
    ::close(diag);
    return -1;
}

enum class PeerLookup { Found, NotYet, Unknown };

// What the one answer about the socket at the other end of a connection (whose own ends
// are `local` and the peer) says: the socket found, or an error (not found).
PeerLookup ReadPeerAnswer(int diag, const sockaddr_in& local, uid_t& user) {
    alignas(nlmsghdr) char answer[8192];
    const ssize_t size = ::recv(diag, answer, sizeof answer, 0);
    const auto* header = reinterpret_cast<const nlmsghdr*>(answer);
    if (size < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(inet_diag_msg))) || header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        header->nlmsg_len > static_cast<std::uint32_t>(size) || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return PeerLookup::Unknown;
    const auto* peerSocket = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
    // A listening socket that happens to match is not the peer; a connection being set up
    // or one in its time-wait is reported with user 0, whoever it belongs to.
    if (peerSocket->id.idiag_dport != local.sin_port || peerSocket->id.idiag_dst[0] != local.sin_addr.s_addr)
        return PeerLookup::Unknown;
    if (peerSocket->idiag_state == TCP_SYN_RECV ||
        (peerSocket->idiag_state == TCP_ESTABLISHED && peerSocket->idiag_inode == 0))
        return PeerLookup::NotYet;
    if (peerSocket->idiag_state == TCP_LISTEN || peerSocket->idiag_state == TCP_TIME_WAIT ||
        peerSocket->idiag_inode == 0)
        return PeerLookup::Unknown;
    user = peerSocket->idiag_uid;
    return PeerLookup::Found;
}

// The socket at the other end of a TCP connection on this computer, asked of the kernel's
// socket diagnostics: the one whose own end is the peer's address and port, connected to
// ours. One exact lookup, not a listing of every socket. NotYet: the other end has no
// program's descriptor yet (its handshake not yet seen through, or set up and waiting in
// its listener's queue to be accepted); such a socket's user is not told reliably (some
// kernels report user 0 for it), so only a socket with a descriptor counts as found.
PeerLookup LookUpPeer(int fd, uid_t& user) {
    sockaddr_in local{};
    sockaddr_in peer{};
    if (!Ends(fd, local, peer)) return PeerLookup::Unknown;
    DiagQuestion question = TcpQuestion(NLM_F_REQUEST, ~0u);
    question.request.id.idiag_sport = peer.sin_port;
    question.request.id.idiag_dport = local.sin_port;
    question.request.id.idiag_src[0] = peer.sin_addr.s_addr;
    question.request.id.idiag_dst[0] = local.sin_addr.s_addr;
    question.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    question.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    const int diag = Ask(question);
    if (diag < 0) return PeerLookup::Unknown;
    const PeerLookup found = ReadPeerAnswer(diag, local, user);
    ::close(diag);
    return found;
}

// The listening sockets at `port` among the answers to a listing: the user of the one on
// `address` (`exact`), or failing that of one on every address (`any`).
void ReadListeners(int diag, in_addr_t address, std::uint16_t port, uid_t& user, bool& exact, bool& any) {
    alignas(nlmsghdr) char answer[16384];
    for (;;) {
        const ssize_t size = ::recv(diag, answer, sizeof answer, 0);
        if (size <= 0) return;
        int left = static_cast<int>(size);
        for (auto* header = reinterpret_cast<const nlmsghdr*>(answer); NLMSG_OK(header, left);
             header = NLMSG_NEXT(header, left)) {
            if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) return;
            if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                continue;
            const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            if (socket->idiag_state != TCP_LISTEN || ntohs(socket->id.idiag_sport) != port) continue;
            if (socket->id.idiag_src[0] == address) {
                user = socket->idiag_uid;
                exact = true;
            } else if (socket->id.idiag_src[0] == htonl(INADDR_ANY) && !exact) {
                user = socket->idiag_uid;
                any = true;
            }
        }
    }
}

}  // namespace

bool LocalPeerUser(int clientFd, uid_t& user) { return LookUpPeer(clientFd, user) == PeerLookup::Found; }

int LocalListenerUser(int connectedFd, std::chrono::steady_clock::time_point deadline, int cancelFd, uid_t& user) {
    for (;;) {
        switch (LookUpPeer(connectedFd, user)) {
        case PeerLookup::Found: return 0;
        case PeerLookup::Unknown: return ENOENT;
        case PeerLookup::NotYet: {
            // Not accepted yet: the connection belongs to the program listening at the peer's
            // address and port, whose socket has a descriptor, and so a user, on every kernel.
            sockaddr_in local{};
            sockaddr_in peer{};
            if (Ends(connectedFd, local, peer) && ListeningUser(Text(peer.sin_addr), ntohs(peer.sin_port), user))
                return 0;
            break;
        }
        }
        // Its handshake is seen through there in a moment, unless the listener holds new
        // connections back until they bring something (and nothing is sent to it unasked).
        if (std::chrono::steady_clock::now() >= deadline) return ETIMEDOUT;
        pollfd cancel{cancelFd, POLLIN, 0};
        if (::poll(&cancel, cancelFd >= 0 ? 1 : 0, 5) > 0) return ECANCELED;
    }
}

bool ListeningUser(const std::string& address, std::uint16_t port, uid_t& user) {
    in_addr wanted{};
    if (::inet_pton(AF_INET, address.c_str(), &wanted) != 1) return false;
    // The listening sockets only (a short list), then the one on that port and address, or
    // failing that one on every address.
    const int diag = Ask(TcpQuestion(NLM_F_REQUEST | NLM_F_DUMP, 1u << TCP_LISTEN));
    if (diag < 0) return false;
    bool exact = false;
    bool any = false;
    ReadListeners(diag, wanted.s_addr, port, user, exact, any);
    ::close(diag);
    return exact || any;
}

bool RelayTrust::Trust(const std::string& address) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
    trusted_.insert(Text(parsed));
    return true;
}

void RelayTrust::Distrust(const std::string& address) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) == 1) trusted_.erase(Text(parsed));
}

bool RelayTrust::IsThisComputersAddress(const in_addr& address) {
    if (IsLoopbackAddress(address.s_addr)) return true;
    const auto now = std::chrono::steady_clock::now();
    if (ownAddressesRead_ == std::chrono::steady_clock::time_point{} || now - ownAddressesRead_ > kOwnAddressesFor) {
        const std::vector<std::uint32_t> own = InterfaceAddresses();
        ownAddresses_ = std::set<in_addr_t>(own.begin(), own.end());
        ownAddressesRead_ = now;
    }
    return ownAddresses_.count(address.s_addr) != 0;
}

bool RelayTrust::Admit(int clientFd) {
    sockaddr_in local{};
    sockaddr_in peer{};
    if (!Ends(clientFd, local, peer)) {
        Refuse("?", label_ + ": refused a connection whose address cannot be read");
        return false;
    }
    const std::string from = Text(peer.sin_addr);
    if (!Trusts(from)) {
        Refuse(from, label_ + ": refused " + from + ", not a trusted host");
        return false;
    }
    if (!IsThisComputersAddress(peer.sin_addr)) return true;
    // From this computer: only a process of this user.
    uid_t user = 0;
    if (!LocalPeerUser(clientFd, user)) {
        Refuse(from + " ?", label_ + ": refused " + from + ", a process on this computer whose user cannot be told");
        return false;
    }
    if (user == ::geteuid()) return true;
    Refuse(from + " " + std::to_string(user),
           label_ + ": refused " + from + ", a process of user " + std::to_string(user) + " on this computer");
    return false;
}

void RelayTrust::Refuse(const std::string& key, const std::string& line) {
    if (refused_.size() >= kMaxLoggedStrangers) return;
    if (refused_.insert(key).second) hv::Trace(line + "\n");
    if (refused_.size() == kMaxLoggedStrangers)
        hv::Trace(label_ + ": further strangers are refused without a line\n");
}

}  // namespace zandrel
