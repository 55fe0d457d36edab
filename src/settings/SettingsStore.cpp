#include "settings/SettingsStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <limits>
#include <memory>

#include "platform/ComponentFactory.h"
#include "platform/InstalledLayout.h"
#include "settings/SuiteRegistry.h"

namespace hv {

namespace {

const QString kOrganization = QStringLiteral("Tervanix");
const QString kApplication = QStringLiteral("Halvane");
const QString kSettingsGroup = QStringLiteral("Settings");

const QString kSuiteApplication = QStringLiteral("ZandrelSoftware");
const QString kSetupParamsGroup = QStringLiteral("ZandrelSetup_Params");
const QString kSetupParamsKeyPath = kSuiteApplication + QLatin1Char('\\') + kSetupParamsGroup;
const QString kSetupPathValue = QStringLiteral("Setup_Path");

const QString kReplayMachineApplication = QStringLiteral("Ferrolith");

// Values read into a buffer of this many UTF-16 units, terminator included.
constexpr qsizetype kPathBufferUnits = 260;

#ifdef Q_OS_WIN
const QString kExecutableSuffix = QStringLiteral(".exe");
#else
const QString kExecutableSuffix;
#endif

std::unique_ptr<QSettings> OpenSettings(QSettings::Scope scope, const QString& application) {
    auto settings = std::make_unique<QSettings>(QSettings::NativeFormat, scope, kOrganization,
                                                application);
    // One place only, like one registry key: no falling back to other scopes or files.
    settings->setFallbacksEnabled(false);
    return settings;
}

// Whether the replay machine's settings exist, so that they may be written. In the
// registry that is its key; where the settings live in a file, it is that file, whatever
// it holds (a file with an empty "Settings" group, or none at all, is the machine's
// settings all the same: QSettings does not even list a group without values).
bool ReplayMachineSettingsExist(QSettings& settings) {
#ifdef Q_OS_WIN
    return settings.childGroups().contains(kSettingsGroup);
#else
    return QFileInfo::exists(settings.fileName());
#endif
}

// Creates the program's settings where they are missing, as opening the keys for
// reading creates them.
void CreateIfMissing(QSettings& settings) {
#ifndef Q_OS_WIN
    const QString path = settings.fileName();
    if (QFileInfo::exists(path)) return;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    (void)file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
#else
    settings.beginGroup(kSettingsGroup);
    settings.endGroup();
#endif
}

// A stored 32-bit value: a number, or its decimal text. A DWORD above the signed range
// reads as the signed value of the same bits.
bool ReadInt(const QVariant& value, std::int32_t& out) {
    if (!value.isValid()) return false;
    bool ok = false;
    qlonglong number = 0;
    if (value.typeId() == QMetaType::QString)
        number = value.toString().trimmed().toLongLong(&ok, 10);
    else if (value.typeId() == QMetaType::Bool) {
        number = value.toBool() ? 1 : 0;
        ok = true;
    } else
        number = value.toLongLong(&ok);
    if (!ok || number < std::numeric_limits<std::int32_t>::min() ||
        number > static_cast<qlonglong>(std::numeric_limits<std::uint32_t>::max()))
        return false;
    out = static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
    return true;
}

bool ReadBool(const QVariant& value, bool& out) {
    std::int32_t number = 0;
    if (ReadInt(value, number)) {
        out = number != 0;
        return true;
    }
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString().trimmed();
        if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) return out = true, true;
        if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0) return out = false, true;
    }
    return false;
}

bool ReadText(const QVariant& value, QString& out) {
    if (!value.isValid()) return false;
    // A hand-written value with unquoted commas comes back as a list: keep it whole.
    if (value.typeId() == QMetaType::QStringList) {
        out = value.toStringList().join(QLatin1Char(','));
        return true;
    }
    if (!value.canConvert<QString>()) return false;
    out = value.toString();
    return true;
}

// --- The start-on-logon entry: a desktop entry whose Exec is the executable's path. ---

// The entry file's escapes: a character and the letter that stands for it after a backslash.
struct EntryEscape {
    char16_t Plain;
    char16_t Letter;
};
constexpr EntryEscape kEntryEscapes[] = {{u'\\', u'\\'}, {u'\n', u'n'}, {u'\t', u't'}, {u'\r', u'r'}};

// The escape whose `side` (Plain or Letter) is `c`; null when none is.
const EntryEscape* FindEscape(char16_t EntryEscape::*side, QChar c) {
    for (const EntryEscape& escape : kEntryEscapes)
        if (c == escape.*side) return &escape;
    return nullptr;
}

// Characters that make a desktop entry's Exec argument need quotes.
bool NeedsQuotes(const QString& path) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    for (QChar c : path)
        if (reserved.contains(c)) return true;
    return path.isEmpty();
}

QString ExecValueOf(const QString& path) {
    // A lone "%" would be taken for a field code.
    QString escaped = path;
    escaped.replace(QLatin1Char('%'), QLatin1String("%%"));
    QString argument = escaped;
    if (NeedsQuotes(escaped)) {
        argument.clear();
        argument += QLatin1Char('"');
        for (QChar c : escaped) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
                c == QLatin1Char('\\'))
                argument += QLatin1Char('\\');
            argument += c;
        }
        argument += QLatin1Char('"');
    }
    // The entry file's own escapes.
    QString value;
    for (QChar c : argument) {
        if (const EntryEscape* escape = FindEscape(&EntryEscape::Plain, c)) {
            value += QLatin1Char('\\');
            c = escape->Letter;
        }
        value += c;
    }
    return value;
}

QString UnescapeEntryValue(const QString& value) {
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar next = value[++i];
        if (next == QLatin1Char('s')) out += QLatin1Char(' ');  // read, never written
        else if (const EntryEscape* escape = FindEscape(&EntryEscape::Letter, next)) out += QChar(escape->Plain);
        else out += next;
    }
    return out;
}

// The program path an Exec value names: the whole value, or the quoted argument when it
// is quoted (with its escapes undone). Empty when the quotes are not closed.
QString PathOfExecValue(const QString& rawValue) {
    QString value = UnescapeEntryValue(rawValue);
    value.replace(QLatin1String("%%"), QLatin1String("%"));
    if (!value.startsWith(QLatin1Char('"'))) return value;
    QString path;
    for (qsizetype i = 1; i < value.size(); ++i) {
        QChar c = value[i];
        if (c == QLatin1Char('"')) return i + 1 == value.size() ? path : value;
        if (c == QLatin1Char('\\') && i + 1 < value.size()) c = value[++i];
        path += c;
    }
    return {};
}

bool EntryFlagSet(const QString& value) {
    return value.trimmed().compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
}

QString AutostartEntryPath(const SettingsEnvironment& environment) {
    return QDir(environment.AutostartFolder).filePath(kAutostartEntryName);
}

}  // namespace

QString StartCommandOf(const QString& executable) {
    const auto command = InstalledCommandFor(QFile::encodeName(executable).toStdString());
    return command.empty() ? executable : QFile::decodeName(QByteArray::fromStdString(command.string()));
}

SettingsEnvironment SettingsEnvironment::ForThisProcess(const ComponentFactory& components) {
    SettingsEnvironment environment;
    environment.Components = &components;
    environment.ExecutablePath = StartCommandOf(QCoreApplication::applicationFilePath());
    environment.AutostartFolder =
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
        QStringLiteral("/autostart");
    return environment;
}

QString DefaultSetupPath() {
#ifdef Q_OS_WIN
    return QStringLiteral("C:\\Program Files\\Zandrel Software");
#else
    return QStringLiteral("/opt/Zandrel Software");
#endif
}

bool ReadAutostart(const SettingsEnvironment& environment) {
    if (environment.AutostartFolder.isEmpty() || environment.ExecutablePath.isEmpty())
        return false;
    QFile file(AutostartEntryPath(environment));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;

    bool inMainGroup = false;
    bool haveExec = false;
    QString execValue;
    bool disabled = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup || line.startsWith(QLatin1Char('#'))) continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0) continue;
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (key == QLatin1String("Exec") && !haveExec) {
            haveExec = true;
            execValue = value;
        } else if (key == QLatin1String("Hidden") && EntryFlagSet(value)) {
            disabled = true;  // the desktop's way of saying the entry was removed
        } else if (key == QLatin1String("X-GNOME-Autostart-enabled") &&
                   value.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0) {
            disabled = true;
        }
    }
    if (!haveExec || disabled) return false;
    const QString path = PathOfExecValue(execValue);
    // The value is read into a fixed buffer: a value that does not fit is not read.
    if (path.isEmpty() || path.size() >= kPathBufferUnits) return false;
    return path.compare(environment.ExecutablePath, Qt::CaseInsensitive) == 0;
}

void WriteAutostart(const SettingsEnvironment& environment, bool enabled) {
    if (environment.AutostartFolder.isEmpty()) return;
    const QString entryPath = AutostartEntryPath(environment);
    if (!enabled) {
        QFile::remove(entryPath);
        return;
    }
    if (environment.ExecutablePath.isEmpty()) return;
    // The autostart folder does not exist on a fresh desktop: it is made here, or the
    // user's "start on logon" would silently do nothing.
    if (!QDir().mkpath(environment.AutostartFolder)) return;
    QSaveFile file(entryPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return;
    const QString text = QStringLiteral("[Desktop Entry]\nType=Application\nName=") + kApplication +
                         QStringLiteral("\nExec=") + ExecValueOf(environment.ExecutablePath) +
                         QStringLiteral("\nTerminal=false\nX-GNOME-Autostart-enabled=true\n");
    file.write(text.toUtf8());
    file.commit();
}

QString ResolveSetupPath(const SettingsEnvironment& environment) {
    QString setupPath;

    ComponentPtr registryObject;
    ISuiteRegistry* registry = nullptr;
    if (environment.Components != nullptr)
        registryObject = environment.Components->CreateFor<ISuiteRegistry>(kSuiteRegistryClass, registry);
    if (registry != nullptr && registry->OpenKey(kSetupParamsKeyPath, KEY_READ) == S_OK) {
        QString value;
        if (registry->ReadString(kSetupPathValue, value) == S_OK) setupPath = value;
    }

    if (setupPath.isEmpty()) {
        auto machine = OpenSettings(QSettings::SystemScope, kSuiteApplication);
        machine->beginGroup(kSetupParamsGroup);
        QString value;
        if (ReadText(machine->value(kSetupPathValue), value) && value.size() < kPathBufferUnits &&
            !value.isEmpty())
            setupPath = value;
    }

    if (setupPath.isEmpty()) {
        setupPath = DefaultSetupPath();
    } else if (setupPath.endsWith(QLatin1Char('\\')) || setupPath.endsWith(QLatin1Char('/'))) {
        setupPath.chop(1);  // one separator only: a doubled one keeps the second
    }
    return setupPath;
}

void ComposeExecutablePaths(AppSettings& settings) {
    const auto path = [&settings](const char* folder, const char* name) {
        return QDir::toNativeSeparators(settings.SetupPath + QLatin1Char('/') +
                                        QLatin1String(folder) + QLatin1Char('/') +
                                        QLatin1String(name) + kExecutableSuffix);
    };
    settings.VortamoExePath = path("Vortamo", "Vortamo");
    settings.TamberloExePath = path("Ferrolith", "Tamberlo");
    settings.DravenorExePath = path("Ferrolith", "Dravenor");
    settings.OstrimundExePath = path("Ferrolith", "Ostrimund");
}

void LoadSettings(AppSettings& settings, const SettingsEnvironment& environment,
                  const VortamoHostSink& setVortamoHost) {
    {
        auto store = OpenSettings(QSettings::UserScope, kApplication);
        CreateIfMissing(*store);
        store->beginGroup(kSettingsGroup);
        for (const StoredSettingKey& key : StoredSettingKeys()) {
            const QVariant value = store->value(QLatin1String(key.Name));
            std::visit(
                [&](auto member) {
                    auto& field = settings.*member;
                    using Field = std::remove_reference_t<decltype(field)>;
                    Field read = field;
                    bool ok = false;
                    if constexpr (std::is_same_v<Field, bool>) ok = ReadBool(value, read);
                    else if constexpr (std::is_same_v<Field, QString>) ok = ReadText(value, read);
                    else ok = ReadInt(value, read);
                    if (ok) field = read;
                },
                key.Field);
        }
    }

    settings.Autostart = ReadAutostart(environment);
    settings.SetupPath = ResolveSetupPath(environment);
    ComposeExecutablePaths(settings);

    if (setVortamoHost) setVortamoHost(settings.VortamoIP);
}

QString ReadStoredArchiveRoot(QString* file) {
    const auto store = OpenSettings(QSettings::UserScope, kApplication);
    if (file != nullptr) *file = store->fileName();
    AppSettings settings;
    for (const StoredSettingKey& key : StoredSettingKeys()) {
        const auto* field = std::get_if<QString AppSettings::*>(&key.Field);
        if (field == nullptr || *field != &AppSettings::CopyToPath) continue;
        (void)ReadText(store->value(kSettingsGroup + u'/' + QLatin1String(key.Name)), settings.CopyToPath);
    }
    return settings.CopyToPath;
}

void SaveSettings(const AppSettings& settings, const SettingsEnvironment& environment) {
    {
        auto store = OpenSettings(QSettings::UserScope, kApplication);
        store->beginGroup(kSettingsGroup);
        for (const StoredSettingKey& key : StoredSettingKeys()) {
            std::visit(
                [&](auto member) {
                    const auto& field = settings.*member;
                    using Field = std::remove_cvref_t<decltype(field)>;
                    if constexpr (std::is_same_v<Field, bool>)
                        store->setValue(QLatin1String(key.Name), field ? 1 : 0);
                    else
                        store->setValue(QLatin1String(key.Name), field);
                },
                key.Field);
        }
        store->endGroup();
        store->sync();
    }
    WriteAutostart(environment, settings.Autostart);
}

bool WriteReplayMachineSettings(const AppSettings& settings, bool remoteRecorder) {
    auto store = OpenSettings(QSettings::UserScope, kReplayMachineApplication);
    if (!ReplayMachineSettingsExist(*store)) return false;
    store->beginGroup(kSettingsGroup);
    store->setValue(QStringLiteral("VortamoControl"), 1);
    store->setValue(QStringLiteral("VortamoPeriod0"), settings.DefPeriodNumber);
    store->setValue(QStringLiteral("VortamoServer"),
                    remoteRecorder ? settings.VortamoIP : QStringLiteral("localhost"));
    store->endGroup();
    store->sync();
    return store->status() == QSettings::NoError;
}

}  // namespace hv
