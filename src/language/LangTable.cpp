#include "language/LangTable.h"

#include <QDir>
#include <QFileInfo>

#include "platform/HexDigit.h"

namespace hv {

namespace {

QString WithHelpExtension(const QString& path) {
    const QFileInfo info(path);
    const QString suffix = info.suffix();
    QString base = suffix.isEmpty() ? path : path.left(path.size() - suffix.size() - 1);
    return base + QStringLiteral(".hlp");
}

}  // namespace

unsigned LanguageIdFromFileName(const QString& fileNameOrPath) {
    const QString name = QFileInfo(fileNameOrPath).fileName();
    const qsizetype x = name.lastIndexOf(u'x');
    if (x < 0) return 0;
    QString text = name.mid(x > 0 ? x - 1 : 0);
    const qsizetype dot = text.indexOf(u'.');
    if (dot >= 0) text.truncate(dot);

    // strtoul(text, nullptr, 16): blanks, a sign, "0x", then as many hex digits as there are.
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace()) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    auto hexDigit = [](QChar c) { return HexDigitValue(c.unicode()); };
    if (i + 2 < text.size() && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X') &&
        hexDigit(text[i + 2]) >= 0) {
        i += 2;
    }
    unsigned value = 0;
    for (; i < text.size(); ++i) {
        const int d = hexDigit(text[i]);
        if (d < 0) break;
        if (value > 0x0FFFFFFFu) {  // out of range: strtoul gives its maximum
            value = 0xFFFFFFFFu;
            break;
        }
        value = value * 16 + static_cast<unsigned>(d);
    }
    return negative ? 0u - value : value;
}

LangTable::LangTable() { entries_.push_back({0, QString(), QString()}); }

LangTable LangTable::Scan(const QString& folder, const QString& exeBaseName) {
    return Scan(QStringList{folder}, exeBaseName);
}

LangTable LangTable::Scan(const QStringList& folders, const QString& exeBaseName) {
    LangTable table;
    const QString base = QDir(folders.value(0)).filePath(exeBaseName);
    table.entries_[0].helpPath = base + QStringLiteral(".hlp");

    const QString pattern = exeBaseName + QStringLiteral("_0x*") + kLanguageFileExtension;
    QStringList taken;
    for (const QString& folder : folders) {
        if (folder.isEmpty()) continue;
        const QDir dir(folder);
        const QFileInfoList files =
            dir.entryInfoList({pattern}, QDir::Files | QDir::CaseSensitive, QDir::Name);
        for (const QFileInfo& file : files) {
            if (table.Count() >= kMaxEntries) return table;
            if (taken.contains(file.fileName())) continue;
            taken << file.fileName();
            const QString path = file.absoluteFilePath();
            table.entries_.push_back({LanguageIdFromFileName(path), path, WithHelpExtension(path)});
        }
    }
    return table;
}

int LangTable::Find(unsigned languageId) const {
    for (int i = 1; i < Count(); ++i) {
        if (entries_[static_cast<size_t>(i)].languageId == languageId) return i;
    }
    return -1;
}

}  // namespace hv
