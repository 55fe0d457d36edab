#include "crestron/CrestronConnection.h"

#include <sys/socket.h>

#include <cerrno>

namespace hv {

// Crestron working thread.
SendResult SocketConnection::Send(const char* data, std::size_t sizeBytes) {
    errno = 0;
    const ssize_t sent = ::send(socketFd_, data, sizeBytes, MSG_NOSIGNAL);
    return {static_cast<long>(sent), errno};
}

}  // namespace hv
