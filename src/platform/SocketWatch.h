#pragma once
// Tells a window that a listening socket has a connection waiting: posts one window
// message per readiness, then stays quiet until re-armed (after the accept), so every
// message leads to exactly one accept and no accept finds the queue empty.
// Created, re-armed and destroyed on the GUI thread; destroy it before closing the socket.

#include <memory>

class QObject;
class QSocketNotifier;

namespace hv {

class SocketWatch {
public:
    SocketWatch(int listeningFd, QObject* window, unsigned message);
    ~SocketWatch();
    SocketWatch(const SocketWatch&) = delete;
    SocketWatch& operator=(const SocketWatch&) = delete;

    // False when the watch could not be registered.
    bool IsValid() const;
    // Watch again for the next waiting connection.
    void Rearm();

private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace hv
