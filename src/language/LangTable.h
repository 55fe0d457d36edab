#pragma once
// The table of user-interface languages: the built-in one (English) and the language
// files found next to the executable (and, installed, in the program's data folder).

#include <QString>
#include <QStringList>
#include <vector>

namespace hv {

// Language files are named "<executable name>_0x<hex language id>" plus this extension.
inline constexpr char kLanguageFileExtension[] = ".lng";

// The language id a language file's name stands for: the text from the character before
// the last 'x' to the end, cut at its first '.', read as a hexadecimal number as strtoul
// does (an optional "0x", then hex digits up to the first other character). A name without
// 'x' gives 0. Only the file name counts, not the folders above it.
unsigned LanguageIdFromFileName(const QString& fileNameOrPath);

struct LanguageEntry {
    unsigned languageId = 0;
    QString filePath;  // empty for the built-in language
    QString helpPath;  // the file's path (built-in: the executable's) with ".hlp"; not used
};

class LangTable {
public:
    static constexpr int kMaxEntries = 100;

    // Only the built-in language.
    LangTable();

    // Entry 0 for the built-in language, then up to 99 files "<exeBaseName>_0x*.lng" in
    // `folder`, in name order.
    static LangTable Scan(const QString& folder, const QString& exeBaseName);
    // The same over several folders in turn, the executable's first (it names the built-in
    // entry's help path); a file name found in an earlier folder is not taken again.
    static LangTable Scan(const QStringList& folders, const QString& exeBaseName);

    int Count() const { return static_cast<int>(entries_.size()); }
    const LanguageEntry& Entry(int index) const { return entries_.at(static_cast<size_t>(index)); }
    // Index of the first file entry (1 or above) with that language id, or -1.
    int Find(unsigned languageId) const;

private:
    std::vector<LanguageEntry> entries_;
};

}  // namespace hv
