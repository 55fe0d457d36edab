#pragma once
// The value of one hexadecimal digit, for the readers of text forms that carry them.

namespace hv {

// 0 to 15 for '0' to '9', 'a' to 'f' and 'A' to 'F'; -1 for any other character.
constexpr int HexDigitValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

}  // namespace hv
