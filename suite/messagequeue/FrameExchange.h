#pragma once
// One frame over a connected stream socket (a queue's Unix socket, or a relay's TCP
// connection): written whole within a deadline, and the one acknowledgement that answers
// it read back. Deadlines are steady-clock milliseconds (NowMs). A wait can be cut short
// by a cancel descriptor (an event descriptor, -1: none) becoming readable.

#include <cstddef>
#include <cstdint>

#include "QueueWire.h"

namespace zandrel {

// Milliseconds of the steady clock, the time base of every deadline here.
std::int64_t NowMs();

// Waits until `fd` is ready for `events` (poll's) or the deadline passes. Returns 0,
// ETIMEDOUT, ECANCELED when `cancelFd` became readable, or an errno value.
int WaitFor(int fd, short events, std::int64_t deadlineMs, int cancelFd = -1);
// Whether `cancelFd` (-1: none) is readable now.
bool IsCancelled(int cancelFd);

// Writes all of `data` to a non-blocking socket. 0, or as WaitFor, or the send's errno value.
int WriteAll(int fd, const char* data, std::size_t sizeBytes, std::int64_t deadlineMs, int cancelFd = -1);
// Reads the one acknowledgement frame that answers a sent frame. EPROTO for anything else,
// ECONNRESET when the other end closed first.
int ReadAck(int fd, std::int64_t deadlineMs, WireAck& ack, int cancelFd = -1);

// The receiving end's answer to a frame: small, and sent without waiting (the sender waits
// for it; one that cannot take it has gone). False when it did not go out whole.
bool SendAck(int fd, const WireAck& ack);

// Closes a descriptor when it goes.
class FdCloser {
public:
    explicit FdCloser(int fd) : fd_(fd) {}
    ~FdCloser();
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;

private:
    int fd_;
};

}  // namespace zandrel
