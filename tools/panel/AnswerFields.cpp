#include "AnswerFields.h"

namespace hv::panel::decoding {

bool AllDigits(std::string_view text) {
    for (char c : text)
        if (!IsDigit(c)) return false;
    return true;
}

long long ValueOf(std::string_view digits) {
    long long value = 0;
    for (char c : digits) value = value * 10 + (c - '0');
    return value;
}

SplitAnswer SplitLines(std::string_view raw) {
    SplitAnswer out;
    if (raw.empty()) {
        out.error = "no bytes";
        return out;
    }
    std::size_t start = 0;
    while (start < raw.size()) {
        const std::size_t lf = raw.find('\n', start);
        if (lf == std::string_view::npos) {
            out.error = "the answer does not end in LF";
            return out;
        }
        out.lines.push_back(raw.substr(start, lf - start));
        start = lf + 1;
    }
    return out;
}

std::string ExpectOneLine(const AnswerLines& lines) {
    if (lines.size() == 1) return {};
    return Printf("one line expected, %zu received", lines.size());
}

std::string ExpectLength(std::string_view line, std::size_t bytes) {
    if (line.size() == bytes) return {};
    return Printf("%zu characters before the LF expected, %zu received", bytes, line.size());
}

bool FieldReader::Int(std::size_t width, int& out, const char* name) {
    long long value = 0;
    if (!Long(width, value, name)) return false;
    out = static_cast<int>(value);
    return true;
}

bool FieldReader::Long(std::size_t width, long long& out, const char* name) {
    if (!error_.empty()) return false;
    if (position_ + width > line_.size()) {
        error_ = Printf("the line ends before its %s (position %zu, %zu digits)", name, position_,
                        width);
        return false;
    }
    const std::string_view field = line_.substr(position_, width);
    if (!AllDigits(field)) {
        error_ = Printf("the %s at position %zu is not %zu digits: \"", name, position_, width) +
                 EscapeBytes(field) + "\"";
        return false;
    }
    out = ValueOf(field);
    position_ += width;
    return true;
}

bool FieldReader::Stamp(GameStamp& out) {
    const std::size_t at = position_;
    if (!Int(4, out.year, "game start") || !Int(2, out.month, "game start") ||
        !Int(2, out.day, "game start") || !Int(2, out.hour, "game start") ||
        !Int(2, out.minute, "game start"))
        return false;
    out.text = std::string(line_.substr(at, kStampBytes));
    return true;
}

}  // namespace hv::panel::decoding
