// Fuzz target for the message queue's wire frame: any byte stream is taken apart frame by
// frame without a crash, never consumes more than it was given, and every message (or
// presence question) it accepts encodes back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "QueueWire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    std::size_t offset = 0;
    while (offset < size) {
        zandrel::Frame frame;
        const zandrel::ParseResult r = zandrel::ParseFrame(bytes + offset, size - offset, frame);
        if (r.status != zandrel::ParseStatus::Complete) {
            if (r.consumedBytes != 0) std::abort();
            break;
        }
        if (r.consumedBytes < zandrel::kFrameHeaderBytes || r.consumedBytes > size - offset) std::abort();
        if (frame.kind == zandrel::FrameKind::Message || frame.kind == zandrel::FrameKind::Probe) {
            QByteArray again;
            if (!zandrel::EncodeMessage(frame.message, again, frame.kind)) std::abort();
            if (static_cast<std::size_t>(again.size()) != r.consumedBytes ||
                std::memcmp(again.constData(), bytes + offset, r.consumedBytes) != 0)
                std::abort();
        } else {
            const QByteArray again = zandrel::EncodeAck(frame.ack);
            if (static_cast<std::size_t>(again.size()) != r.consumedBytes ||
                std::memcmp(again.constData(), bytes + offset, r.consumedBytes) != 0)
                std::abort();
        }
        offset += r.consumedBytes;
    }
    return 0;
}
