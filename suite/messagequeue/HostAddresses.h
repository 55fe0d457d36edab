#pragma once
// IPv4 addresses as the relays use them: this computer's own, the two ends of a socket,
// and those of a host name (resolved without ever making the caller wait past its time).

#include <QString>
#include <cstdint>
#include <string>
#include <vector>

namespace zandrel {

// The address of a socket's end as text; empty when unknown.
std::string SocketAddressText(int fd, bool peer);
// The IPv4 addresses of this computer's interfaces (in this network namespace), in network
// byte order.
std::vector<std::uint32_t> InterfaceAddresses();
// Whether an IPv4 address (network byte order) is a loopback one (127.0.0.0/8).
bool IsLoopbackAddress(std::uint32_t address);
// Whether an IPv4 address (text) is one of this computer's: loopback (127.0.0.0/8), or an
// address of one of its interfaces.
bool IsThisComputersAddress(const std::string& address);

// The IPv4 addresses of `host` (an address, or a name to resolve) in network byte order.
// An address is taken as it is; a name is resolved on a helper thread of its own, which
// holds nothing of the caller's, so that the caller's wait ends by `deadlineMs` (steady
// clock, FrameExchange.h: ETIMEDOUT) or as soon as `cancelFd` becomes readable
// (ECANCELED), whatever the resolver does.
// Returns 0 or an errno value (EHOSTUNREACH: the name has no IPv4 address).
int ResolveIPv4(const QString& host, std::int64_t deadlineMs, int cancelFd, std::vector<std::uint32_t>& addresses);

}  // namespace zandrel
