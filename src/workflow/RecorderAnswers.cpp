// The recorder's answers to "GetState" and "GetTime". GUI thread only.
#include <algorithm>
#include <climits>
#include <QStringView>

#include "platform/HexDigit.h"
#include "platform/Trace.h"
#include "workflow/CompanionLink.h"

namespace hv {

namespace {

// Added to every clock offset: a recorder 3 s behind Halvane's clock gives 0.
constexpr std::int32_t kClockOffsetBiasMs = 3000;

constexpr bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

// Reads text as formatted input reads it with the pattern "GetTime 0x%X_0x%X": the blank
// matches any run of white space (also none), the other pattern characters match
// themselves, and each %X skips white space, takes an optional sign, an optional "0x"
// and at least one hexadecimal digit (the low 32 bits are kept). Returns how many
// numbers were read.
class TimeAnswerScanner {
public:
    explicit TimeAnswerScanner(QStringView text) : text_(text) {}

    int Scan(std::uint32_t& low, std::uint32_t& high) {
        if (!Literal(u"GetTime")) return 0;
        while (pos_ < text_.size() && IsBlank(text_[pos_].unicode())) ++pos_;
        if (!Literal(u"0x") || !Hex(low)) return 0;
        if (!Literal(u"_0x") || !Hex(high)) return 1;
        return 2;
    }

private:
    bool Literal(QStringView literal) {
        if (!text_.mid(pos_).startsWith(literal)) return false;
        pos_ += literal.size();
        return true;
    }

    bool Hex(std::uint32_t& out) {
        qsizetype p = pos_;
        while (p < text_.size() && IsBlank(text_[p].unicode())) ++p;
        bool negative = false;
        if (p < text_.size() && (text_[p] == u'+' || text_[p] == u'-')) {
            negative = text_[p] == u'-';
            ++p;
        }
        if (p + 2 < text_.size() && text_[p] == u'0' && (text_[p + 1] == u'x' || text_[p + 1] == u'X') &&
            HexDigitValue(text_[p + 2].unicode()) >= 0)
            p += 2;
        std::uint32_t value = 0;
        const qsizetype first = p;
        while (p < text_.size() && HexDigitValue(text_[p].unicode()) >= 0) {
            value = value * 16u + static_cast<std::uint32_t>(HexDigitValue(text_[p].unicode()));
            ++p;
        }
        if (p == first) return false;
        out = negative ? 0u - value : value;
        pos_ = p;
        return true;
    }

    QStringView text_;
    qsizetype pos_ = 0;
};

}  // namespace

void CCompanionLink::OnRecorderAnswer(const QString& answer) {
    if (answer.startsWith(QLatin1StringView("GetState"))) {
        VortamoState = answer.contains(QLatin1StringView("Record")) ? 2 : 1;
        return;
    }
    if (answer.startsWith(QLatin1StringView("GetTime"))) {
        std::uint32_t low = 0;
        std::uint32_t high = 0;
        if (TimeAnswerScanner(answer).Scan(low, high) < 2) {
            Trace(QStringLiteral("Halvane::Vortamo wrang answer for GetTime: '") + answer +
                  QStringLiteral("'\n"));
            return;
        }
        const FileTime recorder = MakeFileTime(high, low);
        // Unsigned difference read as signed: no overflow whatever the two times are.
        const auto difference = recorder > kMaxFileTime
                                    ? INT64_MAX  // beyond any valid time: as far ahead as can be
                                    : static_cast<std::int64_t>(recorder - clock_.UtcNow());
        // Saturated rather than cut to 32 bits: a recorder clock weeks off must not wrap
        // round to an offset that looks acceptable.
        const std::int64_t offsetMs =
            std::clamp<std::int64_t>(difference / kFileTimeUnitsPerMs, INT32_MIN,
                                     static_cast<std::int64_t>(INT32_MAX) - kClockOffsetBiasMs);
        VortamoClockOffset = static_cast<std::int32_t>(offsetMs + kClockOffsetBiasMs);
        return;
    }
    Trace(QStringLiteral("Halvane::Vortamo Unknown Answer=") + answer + QStringLiteral("\n"));
}

}  // namespace hv
