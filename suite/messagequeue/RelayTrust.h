#pragma once
// Whom a relay takes frames from: the addresses it was told to trust, and no one else. An
// address of this computer (loopback, or one of its own) is never trusted by itself: every
// user of the computer can connect from it. A connection from such an address is taken only
// when the address was named and the process at its other end belongs to this user (asked
// of the kernel's socket diagnostics); so a relay told to trust another computer that is
// reached over loopback (tests, two programs on one machine) still shuts other users out.
// Every refusal is traced: each stranger once (up to kMaxLoggedStrangers, then one line that
// further ones go unlogged), each user of this computer once per address.

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <utility>

namespace zandrel {

class RelayTrust {
public:
    static constexpr std::size_t kMaxLoggedStrangers = 1024;

    // `label` begins the trace lines ("ZandrelQueueRelay").
    explicit RelayTrust(std::string label) : label_(std::move(label)) {}

    // False when `address` is not an IPv4 address.
    bool Trust(const std::string& address);
    // Frames from `address` are refused from now on (also on connections taken before).
    void Distrust(const std::string& address);
    bool Trusts(const std::string& address) const { return trusted_.count(address) != 0; }
    const std::set<std::string>& Trusted() const { return trusted_; }

    // On the relay's thread, for every accepted connection: true when its frames are taken;
    // otherwise the refusal is traced (see above).
    bool Admit(int clientFd);

private:
    bool IsThisComputersAddress(const in_addr& address);
    void Refuse(const std::string& key, const std::string& line);

    std::string label_;
    std::set<std::string> trusted_;
    std::set<std::string> refused_;  // what was traced already
    std::set<in_addr_t> ownAddresses_;
    std::chrono::steady_clock::time_point ownAddressesRead_{};
};

// The user of the process at the other end of a TCP connection that comes from this
// computer (its socket is in this network namespace). False when it cannot be found.
bool LocalPeerUser(int clientFd, uid_t& user);
// The same for a connection this process made to a listener on this computer: the user of
// the socket that took it there, which is the listener's. A connection still being set up
// there is asked about again until `deadline` (ETIMEDOUT then), or until `cancelFd` (-1:
// none) becomes readable (ECANCELED). 0, or ENOENT when it cannot be found.
int LocalListenerUser(int connectedFd, std::chrono::steady_clock::time_point deadline, int cancelFd, uid_t& user);

// The user of the program listening for TCP connections at `address`:`port` on this
// computer (in this network namespace), or on every address at that port. False when no
// such listener is found.
bool ListeningUser(const std::string& address, std::uint16_t port, uid_t& user);

}  // namespace zandrel
