#include "platform/Guid.h"

#include <QString>
#include <cstdio>

#include "platform/HexDigit.h"

namespace hv {

bool Guid::IsNull() const {
    for (std::uint8_t b : bytes)
        if (b != 0) return false;
    return true;
}

bool Guid::Parse(const QString& text, Guid& out) {
    // Positions of the dashes inside the braces; everything else is a hex digit.
    if (text.size() != 38 || text.front() != u'{' || text.back() != u'}') return false;
    Guid result;
    int nibble = 0;
    for (int i = 1; i < 37; ++i) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (text[i] != u'-') return false;
            continue;
        }
        const int v = HexDigitValue(text[i].unicode());
        if (v < 0) return false;
        std::uint8_t& b = result.bytes[static_cast<size_t>(nibble / 2)];
        b = static_cast<std::uint8_t>((b << 4) | v);
        ++nibble;
    }
    out = result;
    return true;
}

std::string Guid::ToString() const {
    char text[40];
    const auto& b = bytes;
    std::snprintf(text, sizeof text,
                  "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

}  // namespace hv
