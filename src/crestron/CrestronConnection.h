#pragma once
// The narrow view the command handlers have of the controller connection: send one
// answer in one call and report what happened. The port provides it over its socket;
// tests and tools can provide their own.

#include <cstddef>

namespace hv {

struct SendResult {
    long sent = 0;   // bytes sent, or -1
    int error = 0;   // the socket layer's error code after the call (errno), 0 if none
};

class ICrestronConnection {
public:
    virtual ~ICrestronConnection() = default;
    // One send call; a partial send is not continued.
    virtual SendResult Send(const char* data, std::size_t sizeBytes) = 0;
};

// A connected socket (non-blocking); the owner keeps the descriptor open meanwhile.
class SocketConnection final : public ICrestronConnection {
public:
    explicit SocketConnection(int socketFd) : socketFd_(socketFd) {}
    SendResult Send(const char* data, std::size_t sizeBytes) override;

private:
    int socketFd_;
};

}  // namespace hv
