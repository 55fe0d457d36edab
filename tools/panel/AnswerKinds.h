#pragma once
// One decoder and one description for each kind of answer, grouped by what they are about:
// the game (GameAnswers.cpp), a period and its labels (PeriodAnswers.cpp), and playback
// (PlaybackAnswers.cpp). A decoder takes the lines of one answer of its kind and fills
// `body`, or says what is wrong; the multi-line ones also say whether further lines may
// complete it.

#include <string>

#include "AnswerFields.h"
#include "PanelAnswers.h"

namespace hv::panel::decoding {

// M0101, one line.
std::string DecodeGameList(const AnswerLines& lines, AnswerBody& body);
void Describe(std::string& out, const GameListAnswer& answer);

// M0201, one line or numbered lines. Sets `shortOfLines` when the lines hold fewer label
// counts than the header calls for.
std::string DecodeGameInfo(const AnswerLines& lines, AnswerBody& body, bool& shortOfLines);
void Describe(std::string& out, const GameInfoAnswer& answer);

// M0301, one line or numbered lines. Sets `shortOfLines` when the lines hold fewer labels
// than the header counts.
std::string DecodePeriodInfo(const AnswerLines& lines, AnswerBody& body, bool& shortOfLines);
void Describe(std::string& out, const PeriodInfoAnswer& answer);

// M0401, one line.
std::string DecodeLabelInfo(const AnswerLines& lines, AnswerBody& body);
void Describe(std::string& out, const LabelInfoAnswer& answer);

// M0501, one line.
std::string DecodePlayStart(const AnswerLines& lines, AnswerBody& body);
void Describe(std::string& out, const PlayStartAnswer& answer);

// M0601, one line. The position counts from 1 January of the game's year, `gameYear`.
std::string DecodePlayTime(const AnswerLines& lines, AnswerBody& body);
void Describe(std::string& out, const PlayTimeAnswer& answer, int gameYear);

}  // namespace hv::panel::decoding
