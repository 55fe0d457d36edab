#include "AnswerParts.h"

#include <vector>

namespace hv::panel::decoding {

namespace {

// Reads the part number of each line, after checking that it starts as the first line
// does and carries the first line's header.
std::string ReadPartNumbers(const AnswerLines& lines, std::size_t headerBytes, std::vector<int>& parts) {
    const std::size_t sharedBytes = headerBytes - kPrefixBytes - kPartBytes;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (line.size() < headerBytes)
            return Printf("line %zu is %zu characters long, shorter than its header of %zu", i + 1,
                          line.size(), headerBytes);
        if (line.substr(0, kPrefixBytes) != lines[0].substr(0, kPrefixBytes))
            return Printf("line %zu starts with \"", i + 1) + EscapeBytes(line.substr(0, kPrefixBytes)) +
                   "\", not as the first line";
        const std::string_view part = line.substr(kPrefixBytes, kPartBytes);
        if (!AllDigits(part)) return Printf("line %zu has no two-digit part number", i + 1);
        parts.push_back(static_cast<int>(ValueOf(part)));
        if (line.substr(kPrefixBytes + kPartBytes, sharedBytes) !=
            lines[0].substr(kPrefixBytes + kPartBytes, sharedBytes))
            return Printf("the header of line %zu differs from the first line's", i + 1);
    }
    return {};
}

// Checks that the parts count up from 01 and end as `finals` allows.
std::string CheckNumbering(const std::vector<int>& parts, FinalParts finals) {
    if (parts[0] == 0) {
        if (parts.size() == 1) return {};
        return Printf("a one-line answer (part 00) followed by %zu more lines", parts.size() - 1);
    }
    if (parts[0] != 1) return Printf("the first line is part %02d, not 00 or 01", parts[0]);
    std::size_t i = 1;
    for (; i < parts.size() && parts[i] != kFinalPart; ++i) {
        // The numbering stops below the final part's number in a very long answer.
        const bool next = parts[i] == parts[i - 1] + 1 || (parts[i - 1] == 98 && parts[i] == 98);
        if (!next) return Printf("line %zu is part %02d after part %02d", i + 1, parts[i], parts[i - 1]);
    }
    if (i == parts.size()) {
        if (finals == FinalParts::Optional) return {};
        return Printf("the last line is part %02d: the answer's final line (part 99) is missing",
                      parts.back());
    }
    for (std::size_t k = i + 1; k < parts.size(); ++k)
        if (parts[k] != kFinalPart || finals != FinalParts::Run)
            return Printf("line %zu is part %02d after part %02d", k + 1, parts[k], parts[k - 1]);
    return {};
}

}  // namespace

std::string CheckParts(const AnswerLines& lines, std::size_t headerBytes, FinalParts finals) {
    std::vector<int> parts;
    if (auto error = ReadPartNumbers(lines, headerBytes, parts); !error.empty()) return error;
    return CheckNumbering(parts, finals);
}

}  // namespace hv::panel::decoding
