#include "game/SplitCommand.h"

#include "platform/FileSystem.h"
#include "platform/HexDigit.h"

namespace hv {

namespace {

bool IsBlank(QChar c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f'; }

void SkipBlanks(const QString& t, qsizetype& i) {
    while (i < t.size() && IsBlank(t.at(i))) ++i;
}

bool Literal(const QString& t, qsizetype& i, QLatin1StringView text) {
    if (t.mid(i, text.size()) != text) return false;
    i += text.size();
    return true;
}

bool Decimal(const QString& t, qsizetype& i, std::int32_t& out) {
    SkipBlanks(t, i);
    bool negative = false;
    if (i < t.size() && (t.at(i) == u'-' || t.at(i) == u'+')) negative = t.at(i++) == u'-';
    std::int64_t value = 0;
    const qsizetype first = i;
    while (i < t.size() && t.at(i) >= u'0' && t.at(i) <= u'9') {
        value = value * 10 + (t.at(i++).unicode() - u'0');
        if (value > SplitCommand::kHighestPeriod + 1) return false;
    }
    if (i == first) return false;
    out = static_cast<std::int32_t>(negative ? -value : value);
    return out >= SplitCommand::kLowestPeriod && out <= SplitCommand::kHighestPeriod;
}

bool Hex32(const QString& t, qsizetype& i, std::uint32_t& out) {
    SkipBlanks(t, i);
    std::uint64_t value = 0;
    const qsizetype first = i;
    while (i < t.size() && HexDigitValue(t.at(i).unicode()) >= 0) {
        value = value * 16 + static_cast<unsigned>(HexDigitValue(t.at(i++).unicode()));
        if (value > 0xFFFFFFFFULL) return false;
    }
    if (i == first) return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool StartsWithAsciiNoCase(const QString& text, const QString& prefix) {
    if (text.size() < prefix.size()) return false;
    for (qsizetype i = 0; i < prefix.size(); ++i) {
        const QChar a = text.at(i), b = prefix.at(i);
        if (a == b) continue;
        if (a.unicode() < 128 && b.unicode() < 128 && a.toLower() == b.toLower()) continue;
        if (fs::IsSeparator(a) && fs::IsSeparator(b)) continue;
        return false;
    }
    return true;
}

}  // namespace

bool SplitCommand::Parse(const QString& text, SplitCommand& out) {
    SplitCommand command;
    qsizetype i = 0;
    std::uint32_t low = 0, high = 0;
    if (!Literal(text, i, QLatin1StringView("SplitAtTime"))) return false;
    SkipBlanks(text, i);
    if (!Decimal(text, i, command.Period)) return false;
    if (!Literal(text, i, QLatin1StringView("_0x")) || !Hex32(text, i, low)) return false;
    if (!Literal(text, i, QLatin1StringView("_0x")) || !Hex32(text, i, high)) return false;
    command.Time = MakeFileTime(high, low);
    SkipBlanks(text, i);
    qsizetype end = i;
    while (end < text.size() && !IsBlank(text.at(end))) ++end;
    if (end > i && end - i <= kLongestPath) {
        command.HasPath = true;
        command.Path = text.mid(i, end - i);
    }
    out = command;
    return true;
}

bool SplitCommand::GameFolderFromPath(const QString& path, const QStringList& roots, QString& gameFolder) {
    for (const QString& root : roots) {
        if (root.isEmpty() || !StartsWithAsciiNoCase(path, root)) continue;
        qsizetype restStart = root.size();
        if (!fs::IsSeparator(root.back())) {
            // "D:\Video" names "D:\Video\..." but not "D:\Video2\...".
            if (restStart >= path.size() || !fs::IsSeparator(path.at(restStart))) continue;
            ++restStart;
        }
        const QString rest = path.mid(restStart);
        if (rest.isEmpty()) continue;
        QStringList parts;
        QString part;
        for (const QChar c : rest) {
            if (fs::IsSeparator(c)) {
                parts.append(part);
                part.clear();
            } else {
                part.append(c);
            }
        }
        const bool endsWithSeparator = part.isEmpty();
        if (!endsWithSeparator) parts.append(part);
        bool plain = !parts.isEmpty();
        for (const QString& p : parts)
            if (p.isEmpty() || p == u"." || p == u".." || p.contains(u':')) plain = false;
        if (!plain) continue;
        gameFolder = parts.join(u'\\') + u'\\';
        return true;
    }
    return false;
}

}  // namespace hv
