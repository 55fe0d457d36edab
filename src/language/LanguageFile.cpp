#include "language/LanguageFile.h"

#include <QFile>
#include <QStringDecoder>

#include "platform/HexDigit.h"

namespace hv {

namespace {

QString Unquoted(const QString& value) {
    if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"')) {
        // A closing quote that is escaped belongs to the text.
        qsizetype backslashes = 0;
        for (qsizetype i = value.size() - 2; i >= 1 && value[i] == u'\\'; --i) ++backslashes;
        if (backslashes % 2 == 0) return value.mid(1, value.size() - 2);
    }
    return value;
}

void Note(QString* error, int lineNumber, const QString& what) {
    if (error == nullptr) return;
    if (!error->isEmpty()) error->append(u'\n');
    error->append(QStringLiteral("line %1: %2").arg(lineNumber).arg(what));
}

}  // namespace

QString UnescapeText(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c != u'\\' || i + 1 >= text.size()) {
            out.append(c);
            continue;
        }
        const QChar n = text[i + 1];
        switch (n.unicode()) {
        case 'n': out.append(u'\n'); ++i; break;
        case 'r': out.append(u'\r'); ++i; break;
        case 't': out.append(u'\t'); ++i; break;
        case '\\': out.append(u'\\'); ++i; break;
        case '"': out.append(u'"'); ++i; break;
        case 'x': {
            const int hi = i + 2 < text.size() ? HexDigitValue(text[i + 2].unicode()) : -1;
            const int lo = i + 3 < text.size() ? HexDigitValue(text[i + 3].unicode()) : -1;
            if (hi >= 0 && lo >= 0) {
                out.append(QChar(static_cast<char16_t>(hi * 16 + lo)));
                i += 3;
            } else {
                out.append(c);
            }
            break;
        }
        default: out.append(c); break;
        }
    }
    return out;
}

QString EscapeText(const QString& text) {
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\n': out.append(u"\\n"); break;
        case '\r': out.append(u"\\r"); break;
        case '\t': out.append(u"\\t"); break;
        case '\\': out.append(u"\\\\"); break;
        default: out.append(c); break;
        }
    }
    if (!out.isEmpty() && (out.front().isSpace() || out.back().isSpace() ||
                           (out.front() == u'"' && out.back() == u'"'))) {
        out = u'"' + out + u'"';
    }
    return out;
}

namespace {

// Reads a language file line by line into `out`, noting the lines it skips in `error`.
class LanguageFileReader {
public:
    LanguageFileReader(LanguageTexts& out, QString* error) : out_(out), error_(error) {}

    void Read(const QString& text) {
        int lineNumber = 0;
        for (QStringView rawLine : QStringView(text).split(u'\n')) {
            ++lineNumber;
            const QStringView line = rawLine.trimmed();
            if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';')) continue;
            if (line.startsWith(u'[') && line.endsWith(u']'))
                SectionHeader(line, lineNumber);
            else
                Entry(line, lineNumber);
        }
    }

private:
    enum class Section { None, Strings, Menu, Dialog, Texts };

    // "[strings]", "[menu]", "[texts]" or "[dialog <id>]": the section the entries below
    // belong to. An unknown one takes no entries.
    void SectionHeader(QStringView line, int lineNumber) {
        const QString name = line.mid(1, line.size() - 2).trimmed().toString();
        section_ = Section::None;
        if (name == u"strings") {
            section_ = Section::Strings;
        } else if (name == u"menu") {
            section_ = Section::Menu;
        } else if (name == u"texts") {
            section_ = Section::Texts;
        } else if (name.startsWith(u"dialog ")) {
            bool ok = false;
            dialog_ = name.mid(7).trimmed().toUInt(&ok);
            if (ok) section_ = Section::Dialog;
        }
        if (section_ == Section::None) Note(error_, lineNumber, "unknown section " + name);
    }

    // "key=text" in the current section.
    void Entry(QStringView line, int lineNumber) {
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0) {
            Note(error_, lineNumber, QStringLiteral("no key=text"));
            return;
        }
        const QString key = line.left(eq).trimmed().toString();
        const QString value = UnescapeText(Unquoted(line.mid(eq + 1).trimmed().toString()));
        switch (section_) {
        case Section::None: Note(error_, lineNumber, QStringLiteral("entry outside a section")); break;
        case Section::Strings: StringEntry(key, value, lineNumber); break;
        case Section::Menu: out_.menu.insert(key, value); break;
        case Section::Dialog: out_.dialogs[{dialog_, key}] = value; break;
        case Section::Texts: out_.texts.insert(UnescapeText(key), value); break;
        }
    }

    // A string-table entry: its key is the string's number, 0 to 65535.
    void StringEntry(const QString& key, const QString& value, int lineNumber) {
        bool ok = false;
        const unsigned id = key.toUInt(&ok, 10);
        if (ok && id <= 0xFFFF)
            out_.strings[id] = value;
        else
            Note(error_, lineNumber, "bad string number " + key);
    }

    LanguageTexts& out_;
    QString* error_;
    Section section_ = Section::None;
    unsigned dialog_ = 0;
};

}  // namespace

bool ParseLanguageFile(const QByteArray& bytes, LanguageTexts& out, QString* error) {
    QStringDecoder decoder(QStringDecoder::Utf8);  // drops a leading byte-order mark
    const QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        if (error != nullptr) *error = QStringLiteral("not UTF-8 text");
        return false;
    }
    LanguageFileReader(out, error).Read(text);
    return true;
}

bool LoadLanguageFile(const QString& path, LanguageTexts& out, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error != nullptr) *error = file.errorString();
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        if (error != nullptr) *error = file.errorString();
        return false;
    }
    return ParseLanguageFile(bytes, out, error);
}

}  // namespace hv
