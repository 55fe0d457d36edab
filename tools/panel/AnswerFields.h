#pragma once
// The pieces every answer decoder reads with: the answer cut into its lines, and its
// fixed-width decimal fields read one after the other, naming the first that fails.

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "PanelAnswers.h"

namespace hv::panel::decoding {

constexpr std::size_t kPrefixBytes = 5;  // "M0d01"
constexpr std::size_t kPartBytes = 2;    // the part number of a multi-line answer's line
constexpr std::size_t kStampBytes = 12;  // YYYYMMDDhhmm

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool AllDigits(std::string_view text);
// The value of a run of digits (callers check them and keep it short).
long long ValueOf(std::string_view digits);

// printf into a string; the texts made here are short, a longer one is cut.
std::string Printf(const char* format, auto... values) {
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, format, values...);
    return buffer;
}

// The lines of one answer, each without its LF.
using AnswerLines = std::vector<std::string_view>;

struct SplitAnswer {
    AnswerLines lines;
    std::string error;  // why the bytes are no lines: none at all, or no LF at the end
};
SplitAnswer SplitLines(std::string_view raw);

// Why the lines are not one line, or not `bytes` long; empty when they are.
std::string ExpectOneLine(const AnswerLines& lines);
std::string ExpectLength(std::string_view line, std::size_t bytes);

// Reads fixed-width decimal fields from a line, from just after "M0d01" unless told
// otherwise. Once a field fails, the reader keeps its error and reads nothing more.
class FieldReader {
public:
    explicit FieldReader(std::string_view line, std::size_t position = kPrefixBytes)
        : line_(line), position_(position) {}

    bool Int(std::size_t width, int& out, const char* name);
    bool Long(std::size_t width, long long& out, const char* name);
    bool Stamp(GameStamp& out);  // the game start, YYYYMMDDhhmm
    std::size_t Position() const { return position_; }
    const std::string& Error() const { return error_; }

private:
    std::string_view line_;
    std::size_t position_;
    std::string error_;
};

}  // namespace hv::panel::decoding
