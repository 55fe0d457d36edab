#pragma once
// Writing an answer's fields for a person: one field a line, its name in a column of its
// own, its value in the words the console uses for it.

#include <string>
#include <string_view>

#include "PanelAnswers.h"

namespace hv::panel::decoding {

// Adds "  name          value\n": the name padded to 14 characters.
void Field(std::string& out, std::string_view name, const std::string& value);

std::string TwoDigits(int value);                // "07"
std::string StampText(const GameStamp& stamp);   // "2025-12-31 21:30", noting an odd one
std::string ScoreText(int score1, int score2);   // "02:01"
std::string CodeText(int code);                  // "21 goal"
std::string LinesText(int lines);                // "1 line", "3 lines"

}  // namespace hv::panel::decoding
