#pragma once
// One frame to the relay of another computer over TCP, and its acknowledgement: the
// sending half of a message or presence question to another computer (RemoteSender.h
// sends them on a thread of its own and follows each message to its outcome).

#include <QByteArray>
#include <QString>
#include <functional>
#include <string>

#include "QueueTransport.h"
#include "QueueWire.h"

namespace zandrel {

// The two addresses of the connection that carried a frame.
struct ConnectionEnds {
    std::string local;  // this computer's address towards the relay ("192.0.2.1")
    std::string peer;   // the relay's address
};

// Sends one encoded frame to the relay on `host` (resolved to IPv4 addresses only, as the
// relays listen on IPv4) and waits for its acknowledgement.
// Returns 0 with `ack` filled, or an errno value for a transport failure; EACCES (traced,
// nothing written) when the address is one of this computer's and the program listening
// there is not this user's, or whose it is cannot be told.
// `ends`, when given, receives the two addresses of the connection that carried it. When
// `cancelFd` (an event descriptor, -1: none) becomes readable, a connection or wait under
// way ends at once with ECANCELED (and a frame not yet written is not written). `onConnected`,
// when given, runs once the connection stands, before the frame is written; the time-out
// for the frame and its acknowledgement starts when it returns. `written`, when given, is
// set once the frame has (begun to) come out: a failure after that may have delivered it.
// A name is resolved within the send time-out and is cut short by `cancelFd` as well
// (ResolveIPv4, HostAddresses.h).
int SendRemote(const QueueConfig& config, const QString& host, const QByteArray& frame,
               WireAck& ack, ConnectionEnds* ends = nullptr, int cancelFd = -1,
               const std::function<void(const ConnectionEnds&)>& onConnected = {}, bool* written = nullptr);

}  // namespace zandrel
