#pragma once
// The reports of `Halvane --verify-archive` (see VerifyCommand.h): the text report, a line
// for each finding and a summary line, and the JSON report.

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <cstdio>

#include "app/VerifyOptions.h"
#include "fixity/ArchiveCheck.h"

namespace hv::fixity {

// Writes `text` to `stream` at once.
void WriteText(std::FILE* stream, const QByteArray& text);
// The system's text for an error number.
QByteArray ErrorText(int error);
// "12 B", "1.50 MiB".
QByteArray SizeText(double bytes);

// The text report of a check that ran: its findings, then the summary line.
QByteArray TextReport(const ArchiveCheck& check, int code);

// The JSON report; `problem` is what kept the check from running, if anything did.
QJsonObject JsonReport(const QByteArray& root, const VerifyOptions& options, const ArchiveCheck& check, int code,
                       const QDateTime& started, const QByteArray& problem);
// Writes the JSON report to `file` ("-": `out`); an error message when it could not be
// written.
QByteArray WriteJson(const QByteArray& file, const QJsonObject& report, std::FILE* out);

}  // namespace hv::fixity
