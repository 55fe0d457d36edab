#include "app/VerifyCommand.h"

#include <QDateTime>
#include <cstring>

#include "app/VerifyOptions.h"
#include "app/VerifyProgress.h"
#include "app/VerifyReport.h"
#include "fixity/ArchiveCheck.h"
#include "platform/FileSystem.h"

namespace hv::fixity {

namespace {

CheckOptions CheckOptionsOf(const VerifyOptions& options, const QByteArray& root) {
    CheckOptions checkOptions;
    checkOptions.Root = root;
    checkOptions.Since = options.Since;
    checkOptions.MaxRateMiBps = options.MaxRate;
    checkOptions.RecordMissing = options.RecordMissing;
    return checkOptions;
}

// Runs the check, with its progress on `err`; an error message when the archive folder
// could not be opened.
QByteArray RunCheck(ArchiveCheck& check, const QByteArray& root, std::FILE* err) {
    ProgressLine progress(err);
    const bool ran = check.Run([&progress](const CheckProgress& p) { progress.Show(p); });
    progress.End();
    if (!ran) return "cannot open the archive folder '" + fs::Printable(root) + "': " + ErrorText(check.RootError());
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
    VerifyOptions options;
    if (const QByteArray error = ReadVerifyOptions(arguments, options); !error.isEmpty()) {
        WriteText(err, "Halvane: " + error + "\nTry 'Halvane --verify-archive --help' for the options.\n");
        return kCheckUsage;
    }
    if (options.Help) {
        WriteText(out, kVerifyHelp);
        return kCheckGood;
    }
    const QDateTime started = QDateTime::currentDateTimeUtc();
    QByteArray root;
    QByteArray problem = ArchiveFolder(options, root);
    ArchiveCheck check(CheckOptionsOf(options, root));
    if (problem.isEmpty()) problem = RunCheck(check, root, err);

    int code = problem.isEmpty() ? check.ExitCode() : kCheckFailed;
    if (!problem.isEmpty()) WriteText(err, "Halvane: " + problem + '\n');
    const bool textReport = !(options.Json && *options.Json == "-");
    if (textReport && problem.isEmpty()) WriteText(out, TextReport(check, code));
    if (options.Json) {
        const QByteArray error = WriteJson(*options.Json, JsonReport(root, options, check, code, started, problem), out);
        if (!error.isEmpty()) {
            WriteText(err, "Halvane: " + error + '\n');
            if (code == kCheckGood || code == kCheckOnlyNoChecksum) code = kCheckFailed;
        }
    }
    return code;
}

}  // namespace hv::fixity
