#include "app/VerifyReport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <cerrno>
#include <cstring>

#include "platform/FileSystem.h"

namespace hv::fixity {

namespace {

using fs::Printable;

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

QJsonObject JsonSummary(const CheckSummary& s) {
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
    return summary;
}

QJsonObject JsonFinding(const Finding& f) {
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
    return item;
}

}  // namespace

void WriteText(std::FILE* stream, const QByteArray& text) {
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stream);
    std::fflush(stream);
}

QByteArray ErrorText(int error) { return QByteArray(std::strerror(error)); }

QByteArray SizeText(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    return unit == 0 ? QByteArray::number(bytes, 'f', 0) + " B" : QByteArray::number(bytes, 'f', 2) + ' ' + units[unit];
}

QByteArray TextReport(const ArchiveCheck& check, int code) {
    QByteArray report;
    for (const Finding& finding : check.Findings()) report += FindingLine(finding);
    return report + SummaryLine(check.Summary(), code);
}

QJsonObject JsonReport(const QByteArray& root, const VerifyOptions& options, const ArchiveCheck& check, int code,
                       const QDateTime& started, const QByteArray& problem) {
    QJsonObject report;
    report["archive"] = QString::fromUtf8(Printable(root));
    report["since"] = options.Since ? QJsonValue(options.Since->toString(Qt::ISODate)) : QJsonValue();
    report["max_rate_mib_s"] = options.MaxRate;
    report["record_missing"] = options.RecordMissing;
    report["started"] = started.toString(Qt::ISODateWithMs);
    report["finished"] = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    report["exit_status"] = code;
    report["result"] = QString::fromLatin1(ResultText(code));
    if (!problem.isEmpty()) report["error"] = QString::fromUtf8(problem);
    report["summary"] = JsonSummary(check.Summary());
    QJsonArray findings;
    for (const Finding& f : check.Findings()) findings.append(JsonFinding(f));
    report["findings"] = findings;
    return report;
}

QByteArray WriteJson(const QByteArray& file, const QJsonObject& report, std::FILE* out) {
    const QByteArray text = QJsonDocument(report).toJson(QJsonDocument::Indented);
    if (file == "-") {
        WriteText(out, text);
        return {};
    }
    QSaveFile save(QFile::decodeName(file));
    if (!save.open(QIODevice::WriteOnly) || save.write(text) != text.size() || !save.commit())
        return "cannot write the JSON report '" + Printable(file) + "': " + save.errorString().toUtf8();
    return {};
}

}  // namespace hv::fixity
