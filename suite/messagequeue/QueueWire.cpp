#include "QueueWire.h"

#include <cstring>

namespace zandrel {

namespace {

constexpr char kMagic0 = 'Z';
constexpr char kMagic1 = 'Q';
constexpr std::size_t kTextCount = 6;
constexpr std::size_t kMessageFixedBytes = 3 * 4;
constexpr std::size_t kAckBytes = 3 * 4;

std::uint32_t ReadU32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

std::int32_t ReadI32(const char* p) { return static_cast<std::int32_t>(ReadU32(p)); }

void AppendU32(QByteArray& out, std::uint32_t v) {
    const char bytes[4] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                           static_cast<char>((v >> 16) & 0xFF), static_cast<char>((v >> 24) & 0xFF)};
    out.append(bytes, 4);
}

void AppendText(QByteArray& out, const QString& text) {
    const auto sizeBytes = static_cast<std::uint32_t>(text.size() * 2);
    AppendU32(out, sizeBytes);
    for (QChar c : text) {
        const char16_t u = c.unicode();
        const char bytes[2] = {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
        out.append(bytes, 2);
    }
}

// Reads one text at `offset` within the payload [p, p + size).
bool ReadText(const char* p, std::size_t size, std::size_t& offset, QString& text) {
    if (size - offset < 4) return false;
    const std::uint32_t sizeBytes = ReadU32(p + offset);
    offset += 4;
    if (sizeBytes % 2 != 0 || sizeBytes > size - offset) return false;
    const std::size_t units = sizeBytes / 2;
    text.resize(static_cast<qsizetype>(units));
    QChar* chars = text.data();
    const auto* b = reinterpret_cast<const unsigned char*>(p + offset);
    for (std::size_t i = 0; i < units; ++i)
        chars[i] = QChar(static_cast<char16_t>(b[2 * i] | (b[2 * i + 1] << 8)));
    offset += sizeBytes;
    return true;
}

}  // namespace

ParseResult ParseFrame(const char* data, std::size_t sizeBytes, Frame& frame) {
    ParseResult r;
    // Reject a wrong start as soon as it is seen, not only once a header is complete.
    if (sizeBytes >= 1 && data[0] != kMagic0) return {ParseStatus::Malformed, 0, "bad magic"};
    if (sizeBytes >= 2 && data[1] != kMagic1) return {ParseStatus::Malformed, 0, "bad magic"};
    if (sizeBytes >= 3 && static_cast<std::uint8_t>(data[2]) != kWireVersion)
        return {ParseStatus::Malformed, 0, "unsupported version"};
    if (sizeBytes >= 4) {
        const auto kind = static_cast<std::uint8_t>(data[3]);
        if (kind != static_cast<std::uint8_t>(FrameKind::Message) &&
            kind != static_cast<std::uint8_t>(FrameKind::Ack) && kind != static_cast<std::uint8_t>(FrameKind::Probe))
            return {ParseStatus::Malformed, 0, "unknown frame kind"};
    }
    if (sizeBytes < kFrameHeaderBytes) return r;

    const std::uint32_t payloadBytes = ReadU32(data + 4);
    if (payloadBytes > kMaxPayloadBytes) return {ParseStatus::TooLarge, 0, "frame too large"};
    if (sizeBytes - kFrameHeaderBytes < payloadBytes) return r;

    const char* p = data + kFrameHeaderBytes;
    const auto kind = static_cast<FrameKind>(data[3]);
    Frame parsed;
    parsed.kind = kind;
    if (kind == FrameKind::Ack) {
        if (payloadBytes != kAckBytes) return {ParseStatus::Malformed, 0, "bad acknowledgement size"};
        parsed.ack.res = ReadI32(p);
        parsed.ack.result = ReadI32(p + 4);
        parsed.ack.status = ReadI32(p + 8);
    } else {
        if (payloadBytes < kMessageFixedBytes) return {ParseStatus::Malformed, 0, "short message"};
        WireMessage& m = parsed.message;
        m.sequence = ReadI32(p);
        m.reserved1 = ReadI32(p + 4);
        m.reserved2 = ReadI32(p + 8);
        std::size_t offset = kMessageFixedBytes;
        QString* texts[kTextCount] = {&m.senderHost,  &m.senderQueue, &m.targetHost,
                                      &m.targetQueue, &m.firstText,   &m.secondText};
        for (QString* text : texts) {
            if (!ReadText(p, payloadBytes, offset, *text))
                return {ParseStatus::Malformed, 0, "bad text length"};
        }
        if (offset != payloadBytes) return {ParseStatus::Malformed, 0, "trailing bytes"};
    }
    frame = std::move(parsed);
    return {ParseStatus::Complete, kFrameHeaderBytes + payloadBytes, ""};
}

bool EncodeMessage(const WireMessage& message, QByteArray& out, FrameKind kind) {
    out.clear();
    std::size_t payloadBytes = kMessageFixedBytes + kTextCount * 4;
    for (const QString* text : {&message.senderHost, &message.senderQueue, &message.targetHost,
                                &message.targetQueue, &message.firstText, &message.secondText})
        payloadBytes += static_cast<std::size_t>(text->size()) * 2;
    if (payloadBytes > kMaxPayloadBytes) return false;

    out.reserve(static_cast<qsizetype>(kFrameHeaderBytes + payloadBytes));
    out.append(kMagic0);
    out.append(kMagic1);
    out.append(static_cast<char>(kWireVersion));
    out.append(static_cast<char>(kind == FrameKind::Probe ? FrameKind::Probe : FrameKind::Message));
    AppendU32(out, static_cast<std::uint32_t>(payloadBytes));
    AppendU32(out, static_cast<std::uint32_t>(message.sequence));
    AppendU32(out, static_cast<std::uint32_t>(message.reserved1));
    AppendU32(out, static_cast<std::uint32_t>(message.reserved2));
    AppendText(out, message.senderHost);
    AppendText(out, message.senderQueue);
    AppendText(out, message.targetHost);
    AppendText(out, message.targetQueue);
    AppendText(out, message.firstText);
    AppendText(out, message.secondText);
    return true;
}

QByteArray EncodeAck(const WireAck& ack) {
    QByteArray out;
    out.append(kMagic0);
    out.append(kMagic1);
    out.append(static_cast<char>(kWireVersion));
    out.append(static_cast<char>(FrameKind::Ack));
    AppendU32(out, static_cast<std::uint32_t>(kAckBytes));
    AppendU32(out, static_cast<std::uint32_t>(ack.res));
    AppendU32(out, static_cast<std::uint32_t>(ack.result));
    AppendU32(out, static_cast<std::uint32_t>(ack.status));
    return out;
}

}  // namespace zandrel
