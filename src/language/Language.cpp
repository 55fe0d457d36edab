#include "language/Language.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QSettings>

#include "platform/InstalledLayout.h"
#include "platform/Trace.h"
#include "res/MenuResource.h"
#include "res/StringTable.h"

namespace hv {

namespace {

const QString kUntranslated = QStringLiteral("UNTRANSLATED");
constexpr char kLocaleKey[] = "Locale";

QSettings ProgramSettings() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Tervanix"),
                     QStringLiteral("Halvane"));
}

}  // namespace

UiLanguage& UiLanguage::Instance() {
    static UiLanguage language;
    return language;
}

QStringList LanguageFolders(const QString& programFolder) {
    const auto data = InstalledDataFolder(QFile::encodeName(programFolder).toStdString());
    return {programFolder, QFile::decodeName(QByteArray::fromStdString(data.string()))};
}

void UiLanguage::InitForExecutable() {
    const QFileInfo exe(QCoreApplication::applicationFilePath());
    Init(LanguageFolders(exe.absolutePath()), exe.completeBaseName());
}

void UiLanguage::Init(const QString& folder, const QString& exeBaseName) {
    Init(QStringList{folder}, exeBaseName);
}

void UiLanguage::Init(const QStringList& folders, const QString& exeBaseName) {
    LangTable table = LangTable::Scan(folders, exeBaseName);
    std::lock_guard lock(mutex_);
    table_ = std::move(table);
    current_ = 0;
    texts_.reset();
}

bool UiLanguage::SetLanguage(unsigned lcid) {
    std::unique_lock lock(mutex_);
    current_ = 0;
    texts_.reset();
    if (lcid == 0) return true;

    const int index = table_.Find(lcid);
    if (index < 0) return false;
    const QString path = table_.Entry(index).filePath;
    lock.unlock();  // read the file without holding the lock

    auto texts = std::make_shared<LanguageTexts>();
    QString error;
    const bool loaded = LoadLanguageFile(path, *texts, &error);
    if (!error.isEmpty()) {
        Trace(QStringLiteral("Language file %1: %2\n").arg(path, error));
    }
    if (!loaded) return false;

    lock.lock();
    // The table may have been rebuilt meanwhile; use the file only if it is still there.
    if (index < table_.Count() && table_.Entry(index).filePath == path) {
        current_ = index;
        texts_ = std::move(texts);
        return true;
    }
    return false;
}

unsigned UiLanguage::CurrentLanguageId() const {
    std::lock_guard lock(mutex_);
    return table_.Entry(current_).languageId;
}

int UiLanguage::CurrentEntry() const {
    std::lock_guard lock(mutex_);
    return current_;
}

LangTable UiLanguage::Table() const {
    std::lock_guard lock(mutex_);
    return table_;
}

std::shared_ptr<const LanguageTexts> UiLanguage::Texts() const {
    std::lock_guard lock(mutex_);
    return texts_;
}

QString UiLanguage::String(unsigned id) const {
    const std::shared_ptr<const LanguageTexts> texts = Texts();
    if (texts) {
        const auto found = texts->strings.find(id);
        return found != texts->strings.end() ? found->second : kUntranslated;
    }
    const char* english = BuiltInString(id);
    return english != nullptr ? QString::fromUtf8(english) : kUntranslated;
}

QString UiLanguage::MenuText(const QString& key, const char* english) const {
    const std::shared_ptr<const LanguageTexts> texts = Texts();
    if (texts) {
        const auto found = texts->menu.constFind(key);
        if (found != texts->menu.constEnd()) return found.value();
    }
    return QString::fromUtf8(english);
}

QString UiLanguage::DialogText(unsigned dialog, const char* key) const {
    const std::shared_ptr<const LanguageTexts> texts = Texts();
    if (texts) {
        const auto found = texts->dialogs.find({dialog, QString::fromUtf8(key)});
        if (found != texts->dialogs.end()) return found->second;
    }
    return QString::fromUtf8(BuiltInDialogText(dialog, key));
}

QString UiLanguage::Text(const char* english) const {
    const QString wording = QString::fromUtf8(english);
    const std::shared_ptr<const LanguageTexts> texts = Texts();
    if (texts) {
        const auto found = texts->texts.constFind(wording);
        if (found != texts->texts.constEnd()) return found.value();
    }
    return wording;
}

QString LoadStringOrMark(unsigned id) { return UiLanguage::Instance().String(id); }

QString LoadMenuCommandText(unsigned command) {
    for (const auto& item : MenuCommandTexts()) {
        if (item.command == command) {
            return UiLanguage::Instance().MenuText(QString::number(command), item.text);
        }
    }
    return {};
}

QString LoadSubmenuText(const char* englishName) {
    return UiLanguage::Instance().MenuText(QString::fromUtf8(englishName), englishName);
}

QString LoadDialogText(unsigned dialog, const char* key) {
    return UiLanguage::Instance().DialogText(dialog, key);
}

QString LoadUiText(const char* english) { return UiLanguage::Instance().Text(english); }

unsigned UserDefaultLanguageId() {
    // Primary language ids; the default sublanguage (1) makes the full id.
    struct Primary {
        QLocale::Language language;
        unsigned primaryId;
    };
    static constexpr Primary kPrimaries[] = {
        {QLocale::Arabic, 0x01},    {QLocale::Bulgarian, 0x02}, {QLocale::Catalan, 0x03},
        {QLocale::Chinese, 0x04},   {QLocale::Czech, 0x05},     {QLocale::Danish, 0x06},
        {QLocale::German, 0x07},    {QLocale::Greek, 0x08},     {QLocale::English, 0x09},
        {QLocale::Spanish, 0x0A},   {QLocale::Finnish, 0x0B},   {QLocale::French, 0x0C},
        {QLocale::Hebrew, 0x0D},    {QLocale::Hungarian, 0x0E}, {QLocale::Icelandic, 0x0F},
        {QLocale::Italian, 0x10},   {QLocale::Japanese, 0x11},  {QLocale::Korean, 0x12},
        {QLocale::Dutch, 0x13},     {QLocale::NorwegianBokmal, 0x14},
        {QLocale::Polish, 0x15},    {QLocale::Portuguese, 0x16},
        {QLocale::Romanian, 0x18},  {QLocale::Russian, 0x19},   {QLocale::Croatian, 0x1A},
        {QLocale::Slovak, 0x1B},    {QLocale::Albanian, 0x1C},  {QLocale::Swedish, 0x1D},
        {QLocale::Thai, 0x1E},      {QLocale::Turkish, 0x1F},   {QLocale::Indonesian, 0x21},
        {QLocale::Ukrainian, 0x22}, {QLocale::Belarusian, 0x23}, {QLocale::Slovenian, 0x24},
        {QLocale::Estonian, 0x25},  {QLocale::Latvian, 0x26},   {QLocale::Lithuanian, 0x27},
        {QLocale::Kazakh, 0x3F},
    };
    const QLocale::Language language = QLocale().language();
    for (const auto& p : kPrimaries) {
        if (p.language == language) return (1u << 10) | p.primaryId;
    }
    return 0x0409;
}

unsigned ReadLocaleSetting() {
    const QVariant value = ProgramSettings().value(QLatin1String(kLocaleKey));
    bool ok = false;
    const unsigned lcid = value.toUInt(&ok);
    return value.isValid() && ok ? lcid : UserDefaultLanguageId();
}

void WriteLocaleSetting(unsigned lcid) {
    QSettings settings = ProgramSettings();
    settings.setValue(QLatin1String(kLocaleKey), lcid);
    settings.sync();
}

void ApplySavedLanguage() {
    UiLanguage& language = UiLanguage::Instance();
    language.InitForExecutable();
    language.SetLanguage(ReadLocaleSetting());
}

unsigned ChooseLanguage(unsigned lcid) {
    UiLanguage& language = UiLanguage::Instance();
    language.SetLanguage(lcid);
    const unsigned inUse = language.CurrentLanguageId();
    WriteLocaleSetting(inUse);
    return inUse;
}

}  // namespace hv
