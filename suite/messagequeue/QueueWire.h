#pragma once
// The message queue's wire frame, used between processes on one computer and over TCP
// through the relay. A frame is an 8-byte header and a payload:
//
//   offset 0  'Z' 'Q'           magic
//   offset 2  version           kWireVersion
//   offset 3  kind              1 message, 2 acknowledgement, 3 presence question
//   offset 4  payload size      32-bit little-endian, at most kMaxPayloadBytes
//
// Message payload: sequence, reserved1, reserved2 (32-bit little-endian, signed), then six
// texts, each a 32-bit little-endian byte count and that many bytes of UTF-16LE: sender
// host, sender queue, target host, target queue, first text, second text.
// Acknowledgement payload: result code, result, status (32-bit little-endian, signed).
// A presence question has the message's payload; only its target queue counts. It asks the
// relay whether that queue is held on its computer, and is answered with an acknowledgement
// (status 1: held; status 0 with result ECONNREFUSED: not held).
//
// Parsing is a pure function over bytes; nothing in a frame is trusted.

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zandrel {

constexpr std::uint8_t kWireVersion = 1;
constexpr std::size_t kFrameHeaderBytes = 8;
constexpr std::size_t kMaxPayloadBytes = 256 * 1024;

enum class FrameKind : std::uint8_t { Message = 1, Ack = 2, Probe = 3 };

struct WireMessage {
    std::int32_t sequence = 0;
    std::int32_t reserved1 = 0;
    std::int32_t reserved2 = 0;
    QString senderHost;
    QString senderQueue;
    QString targetHost;
    QString targetQueue;
    QString firstText;
    QString secondText;
};

struct WireAck {
    std::int32_t res = 0;
    std::int32_t result = 0;
    std::int32_t status = 0;
};

struct Frame {
    FrameKind kind = FrameKind::Message;
    WireMessage message;  // when kind is Message or Probe
    WireAck ack;          // when kind is Ack
};

enum class ParseStatus {
    NeedMore,   // no complete frame yet; nothing consumed
    Complete,   // one frame in `frame`, `consumedBytes` taken from the front
    Malformed,  // the bytes are not a frame: the stream cannot be resynchronised
    TooLarge,   // the header announces more than kMaxPayloadBytes
};

struct ParseResult {
    ParseStatus status = ParseStatus::NeedMore;
    std::size_t consumedBytes = 0;
    const char* error = "";  // a short reason when Malformed or TooLarge
};

// Looks at the front of `data` for one frame.
ParseResult ParseFrame(const char* data, std::size_t sizeBytes, Frame& frame);

// Encodes a message (or, with FrameKind::Probe, a presence question); returns false (and
// leaves `out` empty) when the payload would exceed kMaxPayloadBytes.
bool EncodeMessage(const WireMessage& message, QByteArray& out, FrameKind kind = FrameKind::Message);
QByteArray EncodeAck(const WireAck& ack);

}  // namespace zandrel
