#pragma once
// Language files: the texts of one user-interface language, kept next to the executable
// as "<executable name>_0x<language id>.lng" and editable with any text editor.
//
// The file is UTF-8 (a byte-order mark is allowed), one entry per line:
//
//   # a comment (also ';')
//   [strings]
//   523=Some files not copied yet!\n\nDo you want to stop file coping and exit?
//   [menu]
//   32780=Start new game          (a command, by its number)
//   Advanced=Advanced             (a submenu, by its English name)
//   [dialog 319]
//   caption=Halvane Settings      (the title, a control by its id, or a label's name)
//   [texts]
//   Run Vortamo=Run Vortamo       (a text without number, by its English wording)
//
// A text runs from after the first '=' to the end of the line, without the blanks around
// it; it may be put in double quotes to keep blanks at its ends. Escapes: \n \r \t \\ \"
// and \xHH; any other backslash stays as written. Lines of unknown sections, lines without
// '=' and strings with a bad number are skipped.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <map>
#include <utility>

namespace hv {

struct LanguageTexts {
    std::map<unsigned, QString> strings;
    QHash<QString, QString> menu;  // command number in decimal, or submenu name
    std::map<std::pair<unsigned, QString>, QString> dialogs;  // (dialog id, key)
    QHash<QString, QString> texts;  // English wording -> text
};

// Reads a language file's contents. False (with `error` set) only when the bytes are not
// valid UTF-8; a bad line is skipped and noted in `error` without failing.
bool ParseLanguageFile(const QByteArray& bytes, LanguageTexts& out, QString* error = nullptr);

// Reads and parses the file at `path`; false when it cannot be read or is not UTF-8.
bool LoadLanguageFile(const QString& path, LanguageTexts& out, QString* error = nullptr);

// The C escapes of a text undone, and made again (for writing a file).
QString UnescapeText(const QString& text);
QString EscapeText(const QString& text);

}  // namespace hv
