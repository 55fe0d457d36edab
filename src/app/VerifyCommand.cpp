#include "app/VerifyCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <chrono>
#include <cstring>
#include <optional>

#include "copy/ArchiveRoot.h"
#include "fixity/ArchiveCheck.h"
#include "platform/FileSystem.h"
#include "settings/SettingsStore.h"

namespace hv::fixity {

namespace {

using fs::Printable;
using SteadyClock = std::chrono::steady_clock;

constexpr double kDefaultMaxRateMiBps = 64;
constexpr auto kProgressInterval = std::chrono::milliseconds(250);

const char kHelp[] =
    "Usage: Halvane --verify-archive [FOLDER] [options]\n"
    "\n"
    "Checks the video archive FOLDER (by default the archive root of the settings,\n"
    "CopyToPath) against its checksum manifests, without a running Halvane and without\n"
    "changing anything. Each game folder of the archive (YYYY-MM-DD/hh-mm) holds a file\n"
    "SHA256SUMS with the SHA-256 of every recording and description copied there, taken\n"
    "while it was copied, one line per file in sha256sum's format; `sha256sum -c SHA256SUMS`\n"
    "run in a game folder checks that game too. Every file a manifest names is read again\n"
    "and compared; the report names changed and missing files, files without a checksum,\n"
    "and what could not be read, and ends with a summary line.\n"
    "\n"
    "Options:\n"
    "  --since DATE      only the games of DATE (YYYY-MM-DD) and later\n"
    "  --max-rate N      read at most N MiB/s (default 64; 0: no limit)\n"
    "  --json FILE       also write the report as JSON to FILE (- for standard output,\n"
    "                    instead of the text report)\n"
    "  --record-missing  add the checksums of files that have none to the manifest of their\n"
    "                    game folder, marked as taken from the archive, not from the\n"
    "                    recording (for games archived before checksums were kept)\n"
    "  -h, --help        show this help and end\n"
    "\n"
    "Progress (files, bytes, rate, time left) is shown on standard error when it is a\n"
    "terminal. Names that are not valid UTF-8 are shown with \\xNN for each such byte, and\n"
    "a backslash as \\\\.\n"
    "\n"
    "Exit status: 0 all good; 1 damage found (a changed or missing file); 2 a command line\n"
    "it cannot use; 3 something could not be checked (an unreadable manifest, folder or\n"
    "file, a checksum not recorded, no archive); 4 nothing wrong but files without a\n"
    "checksum.\n";

struct Options {
    std::optional<QByteArray> Folder;
    std::optional<QDate> Since;
    double MaxRate = kDefaultMaxRateMiBps;
    std::optional<QByteArray> Json;
    bool RecordMissing = false;
    bool Help = false;
};

void Write(std::FILE* stream, const QByteArray& text) {
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stream);
    std::fflush(stream);
}

QByteArray ErrorText(int error) { return QByteArray(std::strerror(error)); }

// Reads the command line; an error message when it cannot be used.
QByteArray ReadOptions(const std::vector<QByteArray>& arguments, Options& options) {
    bool optionsEnd = false;
    bool verifySeen = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const QByteArray& argument = arguments[i];
        const auto value = [&](const QByteArray& name, QByteArray& out) -> bool {
            if (argument.startsWith(name + '=')) {
                out = argument.mid(name.size() + 1);
                return true;
            }
            if (i + 1 >= arguments.size()) return false;
            out = arguments[++i];
            return true;
        };
        const auto positional = [&](const QByteArray& folder) -> QByteArray {
            if (options.Folder) return "more than one archive folder given: '" + Printable(*options.Folder) + "' and '" +
                                       Printable(folder) + "'";
            options.Folder = folder;
            return {};
        };
        if (optionsEnd || argument == "-" || !argument.startsWith('-')) {
            if (QByteArray error = positional(argument); !error.isEmpty()) return error;
            continue;
        }
        if (argument == "--") {
            optionsEnd = true;
            continue;
        }
        const QByteArray name = argument.left(argument.indexOf('=') < 0 ? argument.size() : argument.indexOf('='));
        QByteArray text;
        if (name == kVerifyOption && !verifySeen) {
            verifySeen = true;
            if (argument.contains('=')) {
                if (QByteArray error = positional(argument.mid(name.size() + 1)); !error.isEmpty()) return error;
            }
        } else if (argument == "-h" || argument == "--help") {
            options.Help = true;
        } else if (argument == "--record-missing") {
            options.RecordMissing = true;
        } else if (name == "--since") {
            if (!value(name, text)) return "--since needs a date (YYYY-MM-DD)";
            const QDate date = QDate::fromString(QString::fromLatin1(text), QStringLiteral("yyyy-MM-dd"));
            if (!date.isValid() || text.size() != 10) return "--since needs a date (YYYY-MM-DD), not '" + Printable(text) + "'";
            options.Since = date;
        } else if (name == "--max-rate") {
            if (!value(name, text)) return "--max-rate needs a rate in MiB/s";
            bool ok = false;
            const double rate = text.toDouble(&ok);
            if (!ok || !(rate >= 0) || rate > 1e9)
                return "--max-rate needs a rate in MiB/s (0 for no limit), not '" + Printable(text) + "'";
            options.MaxRate = rate;
        } else if (name == "--json") {
            if (!value(name, text) || text.isEmpty()) return "--json needs a file (- for standard output)";
            options.Json = text;
        } else {
            return "unknown option '" + Printable(argument) + "'";
        }
    }
    return {};
}

QByteArray SizeText(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    return unit == 0 ? QByteArray::number(bytes, 'f', 0) + " B" : QByteArray::number(bytes, 'f', 2) + ' ' + units[unit];
}

QByteArray DurationText(double seconds) {
    const auto s = static_cast<long long>(seconds + 0.5);
    if (s >= 3600) return QByteArray::number(s / 3600) + " h " + QByteArray::number(s % 3600 / 60) + " min";
    if (s >= 60) return QByteArray::number(s / 60) + " min " + QByteArray::number(s % 60) + " s";
    return QByteArray::number(s) + " s";
}

// The progress line on a terminal, rewritten in place a few times a second.
class ProgressLine {
public:
    explicit ProgressLine(std::FILE* stream) : stream_(stream), shown_(::isatty(::fileno(stream)) == 1) {}

    void Show(const CheckProgress& progress) {
        if (!shown_) return;
        const auto now = SteadyClock::now();
        const bool finished = progress.FilesDone == progress.FilesTotal;
        if (!finished && now - last_ < kProgressInterval) return;
        last_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double rate = seconds > 0 ? static_cast<double>(progress.BytesDone) / seconds : 0;
        QByteArray line = "\rchecking: " + QByteArray::number(progress.FilesDone) + '/' +
                          QByteArray::number(progress.FilesTotal) + " files, " +
                          SizeText(static_cast<double>(progress.BytesDone)) + " of " +
                          SizeText(static_cast<double>(progress.BytesTotal)) + ", " + SizeText(rate) + "/s";
        if (rate > 0 && progress.BytesTotal > progress.BytesDone)
            line += ", " + DurationText(static_cast<double>(progress.BytesTotal - progress.BytesDone) / rate) + " left";
        Write(stream_, line + "\x1b[K");
        written_ = true;
    }
    // Clears the line before the report.
    void End() {
        if (written_) Write(stream_, "\r\x1b[K");
    }

private:
    std::FILE* stream_;
    bool shown_;
    bool written_ = false;
    SteadyClock::time_point start_ = SteadyClock::now();
    SteadyClock::time_point last_{};
};

const char* KindName(FindingKind kind) {
    switch (kind) {
    case FindingKind::Changed: return "changed";
    case FindingKind::Missing: return "missing";
    case FindingKind::NoChecksum: return "no checksum";
    case FindingKind::Recorded: return "recorded";
    case FindingKind::Unreadable: return "unreadable";
    case FindingKind::ManifestUnreadable: return "manifest unreadable";
    case FindingKind::ManifestDamaged: return "manifest damaged";
    case FindingKind::FolderUnreadable: return "folder unreadable";
    case FindingKind::RecordFailed: return "not recorded";
    case FindingKind::ChangedDuringCheck: return "changed during the check";
    }
    return "?";
}

// The JSON report's name of a kind.
const char* KindKey(FindingKind kind) {
    switch (kind) {
    case FindingKind::Changed: return "changed";
    case FindingKind::Missing: return "missing";
    case FindingKind::NoChecksum: return "no_checksum";
    case FindingKind::Recorded: return "recorded";
    case FindingKind::Unreadable: return "unreadable";
    case FindingKind::ManifestUnreadable: return "manifest_unreadable";
    case FindingKind::ManifestDamaged: return "manifest_damaged";
    case FindingKind::FolderUnreadable: return "folder_unreadable";
    case FindingKind::RecordFailed: return "not_recorded";
    case FindingKind::ChangedDuringCheck: return "changed_during_check";
    }
    return "?";
}

QByteArray FindingLine(const Finding& f) {
    QByteArray line = QByteArray(KindName(f.Kind)) + ": " + Printable(f.Path);
    switch (f.Kind) {
    case FindingKind::Changed:
        line += " (line " + QByteArray::number(f.Line) + " of " + Printable(f.Manifest) + ": recorded " + f.Expected +
                ", now " + f.Actual + ")";
        break;
    case FindingKind::Missing:
        line += " (line " + QByteArray::number(f.Line) + " of " + Printable(f.Manifest);
        if (f.Error != 0 && f.Error != ENOENT && f.Error != ENOTDIR) line += ": not a regular file";
        line += ")";
        break;
    case FindingKind::NoChecksum:
        break;
    case FindingKind::Recorded:
        line += " (in " + Printable(f.Manifest) + ": taken from the archive, not from the recording)";
        break;
    case FindingKind::ChangedDuringCheck:
        line += " (line " + QByteArray::number(f.Line) + " of " + Printable(f.Manifest) +
                ": copied again while it was checked, not checked)";
        break;
    case FindingKind::ManifestDamaged:
        line += " (line " + QByteArray::number(f.Line) + " is not a checksum line)";
        break;
    case FindingKind::RecordFailed:
        line += " (in " + Printable(f.Manifest) + ": " + ErrorText(f.Error) + ")";
        break;
    case FindingKind::Unreadable:
    case FindingKind::ManifestUnreadable:
    case FindingKind::FolderUnreadable:
        line += " (" + ErrorText(f.Error) + ")";
        break;
    }
    return line + '\n';
}

const char* ResultText(int code) {
    switch (code) {
    case kCheckGood: return "all good";
    case kCheckDamage: return "damage found";
    case kCheckOnlyNoChecksum: return "files without a checksum";
    default: return "not everything could be checked";
    }
}

QByteArray SummaryLine(const CheckSummary& s, int code) {
    const auto n = [](auto value) { return QByteArray::number(value); };
    return "Summary: manifests " + n(s.Manifests) + ", files checked " + n(s.FilesChecked) + " (" +
           SizeText(static_cast<double>(s.BytesRead)) + " read): good " + n(s.Good) + ", changed " + n(s.Changed) +
           ", missing " + n(s.Missing) + "; without a checksum " + n(s.NoChecksum) + ", recorded " + n(s.Recorded) +
           ", not checked " + n(s.NotChecked) + ", errors " + n(s.Errors) + ". Result: " + ResultText(code) +
           " (exit status " + n(code) + ").\n";
}

QJsonObject JsonReport(const QByteArray& root, const Options& options, const ArchiveCheck& check, int code,
                       const QDateTime& started, const QByteArray& rootProblem) {
    QJsonObject report;
    report["archive"] = QString::fromUtf8(Printable(root));
    report["since"] = options.Since ? QJsonValue(options.Since->toString(Qt::ISODate)) : QJsonValue();
    report["max_rate_mib_s"] = options.MaxRate;
    report["record_missing"] = options.RecordMissing;
    report["started"] = started.toString(Qt::ISODateWithMs);
    report["finished"] = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    report["exit_status"] = code;
    report["result"] = QString::fromLatin1(ResultText(code));
    if (!rootProblem.isEmpty()) report["error"] = QString::fromUtf8(rootProblem);
    const CheckSummary& s = check.Summary();
    QJsonObject summary;
    summary["manifests"] = s.Manifests;
    summary["files_checked"] = s.FilesChecked;
    summary["good"] = s.Good;
    summary["changed"] = s.Changed;
    summary["missing"] = s.Missing;
    summary["without_checksum"] = s.NoChecksum;
    summary["recorded"] = s.Recorded;
    summary["not_checked"] = s.NotChecked;
    summary["errors"] = s.Errors;
    summary["bytes_read"] = static_cast<double>(s.BytesRead);
    report["summary"] = summary;
    QJsonArray findings;
    for (const Finding& f : check.Findings()) {
        QJsonObject item;
        item["kind"] = QString::fromLatin1(KindKey(f.Kind));
        item["damage"] = IsDamage(f.Kind);
        item["error"] = IsError(f.Kind);
        item["path"] = QString::fromUtf8(Printable(f.Path));
        if (!f.Manifest.isEmpty()) item["manifest"] = QString::fromUtf8(Printable(f.Manifest));
        if (f.Line > 0) item["line"] = f.Line;
        if (!f.Expected.isEmpty()) item["expected_sha256"] = QString::fromLatin1(f.Expected);
        if (!f.Actual.isEmpty()) item["sha256"] = QString::fromLatin1(f.Actual);
        if (f.Kind == FindingKind::Recorded) item["from_archive"] = true;
        if (f.Error != 0) item["reason"] = QString::fromLocal8Bit(ErrorText(f.Error));
        findings.append(item);
    }
    report["findings"] = findings;
    return report;
}

// Writes the JSON report; an error message when it could not be written.
QByteArray WriteJson(const QByteArray& file, const QJsonObject& report, std::FILE* out) {
    const QByteArray text = QJsonDocument(report).toJson(QJsonDocument::Indented);
    if (file == "-") {
        Write(out, text);
        return {};
    }
    QSaveFile save(QFile::decodeName(file));
    if (!save.open(QIODevice::WriteOnly) || save.write(text) != text.size() || !save.commit())
        return "cannot write the JSON report '" + Printable(file) + "': " + save.errorString().toUtf8();
    return {};
}

// The archive folder to check, or an error message.
QByteArray ArchiveFolder(const Options& options, QByteArray& folder) {
    if (options.Folder) {
        folder = *options.Folder;
        // A folder where the mount table mounts a share that is not mounted is the empty
        // mount point, not the archive (for names Qt can carry, which are all real ones).
        const QString text = QFile::decodeName(folder);
        if (QFile::encodeName(text) == folder && !ArchiveRoot::Record(text).Found())
            return "the archive folder '" + Printable(folder) + "' is not there (or its file system is not mounted)";
        return {};
    }
    QString settingsFile;
    const QString configured = ReadStoredArchiveRoot(&settingsFile);
    if (configured.isEmpty())
        return "no archive folder given, and the settings (" + settingsFile.toUtf8() +
               ") name none (CopyToPath)";
    const ArchiveRoot root = ArchiveRoot::Record(configured);
    folder = root.Path();
    if (!root.Found())
        return "the archive folder '" + Printable(folder) +
               "' of the settings is not there (or its file system is not mounted)";
    return {};
}

}  // namespace

bool IsVerifyCommand(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "--") == 0) return false;
        const std::size_t length = std::strlen(kVerifyOption);
        if (std::strncmp(argument, kVerifyOption, length) == 0 && (argument[length] == '\0' || argument[length] == '='))
            return true;
    }
    return false;
}

int RunVerifyCommand(const std::vector<QByteArray>& arguments, std::FILE* out, std::FILE* err) {
    Options options;
    if (const QByteArray error = ReadOptions(arguments, options); !error.isEmpty()) {
        Write(err, "Halvane: " + error + "\nTry 'Halvane --verify-archive --help' for the options.\n");
        return kCheckUsage;
    }
    if (options.Help) {
        Write(out, kHelp);
        return kCheckGood;
    }
    const QDateTime started = QDateTime::currentDateTimeUtc();
    const bool textReport = !(options.Json && *options.Json == "-");
    QByteArray root;
    const QByteArray rootProblem = ArchiveFolder(options, root);

    CheckOptions checkOptions;
    checkOptions.Root = root;
    checkOptions.Since = options.Since;
    checkOptions.MaxRateMiBps = options.MaxRate;
    checkOptions.RecordMissing = options.RecordMissing;
    ArchiveCheck check(checkOptions);
    QByteArray problem = rootProblem;
    if (problem.isEmpty()) {
        ProgressLine progress(err);
        const bool ran = check.Run([&progress](const CheckProgress& p) { progress.Show(p); });
        progress.End();
        if (!ran) problem = "cannot open the archive folder '" + Printable(root) + "': " + ErrorText(check.RootError());
    }
    int code = problem.isEmpty() ? check.ExitCode() : kCheckFailed;
    if (!problem.isEmpty()) Write(err, "Halvane: " + problem + '\n');
    if (textReport && problem.isEmpty()) {
        QByteArray report;
        for (const Finding& finding : check.Findings()) report += FindingLine(finding);
        Write(out, report + SummaryLine(check.Summary(), code));
    }
    if (options.Json) {
        const QByteArray error =
            WriteJson(*options.Json, JsonReport(root, options, check, code, started, problem), out);
        if (!error.isEmpty()) {
            Write(err, "Halvane: " + error + '\n');
            if (code == kCheckGood || code == kCheckOnlyNoChecksum) code = kCheckFailed;
        }
    }
    return code;
}

}  // namespace hv::fixity
