#pragma once
// The numbering of a multi-line answer (game and period information): its lines carry a
// two-digit part number after "M0d01" and repeat the same header after it.

#include <cstddef>
#include <string>

#include "AnswerFields.h"

namespace hv::panel::decoding {

// The part number of a multi-line answer's last line.
constexpr int kFinalPart = 99;

// How a multi-line answer may end besides its one line "99".
enum class FinalParts {
    One,       // exactly one line "99"
    Run,       // one or more lines "99" (the game information's counts, laid out to the letter)
    Optional,  // one line "99", or none after a full numbered line (the period information)
};

// Checks the part numbers of a multi-line answer: "00" alone, or "01", "02" ... and the
// final part "99" as `finals` allows. The header after the part number (`headerBytes` in
// all) must be the same on every line. Empty when the lines are in order, else why not.
std::string CheckParts(const AnswerLines& lines, std::size_t headerBytes, FinalParts finals);

}  // namespace hv::panel::decoding
