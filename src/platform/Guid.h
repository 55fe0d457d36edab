#pragma once
// 16-byte identifiers (cameras, players) and their braced registry text form.

#include <array>
#include <cstdint>
#include <string>

class QString;

namespace hv {

struct Guid {
    std::array<std::uint8_t, 16> bytes{};

    bool IsNull() const;
    bool operator==(const Guid&) const = default;

    // Strict parse of "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (hex digits of either case).
    static bool Parse(const QString& text, Guid& out);
    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
    std::string ToString() const;
};

}  // namespace hv
