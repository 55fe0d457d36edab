#include "app/VerifyOptions.h"

#include <QFile>

#include "app/VerifyCommand.h"
#include "copy/ArchiveRoot.h"
#include "platform/FileSystem.h"
#include "settings/SettingsStore.h"

namespace hv::fixity {

using fs::Printable;

const char kVerifyHelp[] =
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

namespace {

// Reads the arguments one after the other into the options.
class OptionReader {
public:
    OptionReader(const std::vector<QByteArray>& arguments, VerifyOptions& options)
        : arguments_(arguments), options_(options) {}

    // An error message when the command line cannot be used.
    QByteArray Read();

private:
    // The archive folder.
    QByteArray Positional(const QByteArray& folder);
    QByteArray Option(const QByteArray& argument);
    // The value of the option `name`: after its "=", else the next argument; false when
    // there is none.
    bool Value(const QByteArray& argument, const QByteArray& name, QByteArray& out);
    QByteArray Since(const QByteArray& text);
    QByteArray MaxRate(const QByteArray& text);

    const std::vector<QByteArray>& arguments_;
    VerifyOptions& options_;
    std::size_t next_ = 0;  // the argument after the one being read
    bool optionsEnd_ = false;
    bool verifySeen_ = false;
};

QByteArray OptionReader::Read() {
    while (next_ < arguments_.size()) {
        const QByteArray& argument = arguments_[next_++];
        QByteArray error;
        if (optionsEnd_ || argument == "-" || !argument.startsWith('-'))
            error = Positional(argument);
        else if (argument == "--")
            optionsEnd_ = true;
        else
            error = Option(argument);
        if (!error.isEmpty()) return error;
    }
    return {};
}

QByteArray OptionReader::Positional(const QByteArray& folder) {
    if (options_.Folder)
        return "more than one archive folder given: '" + Printable(*options_.Folder) + "' and '" + Printable(folder) +
               "'";
    options_.Folder = folder;
    return {};
}

QByteArray OptionReader::Option(const QByteArray& argument) {
    const QByteArray name = argument.left(argument.indexOf('=') < 0 ? argument.size() : argument.indexOf('='));
    QByteArray text;
    if (name == kVerifyOption && !verifySeen_) {
        verifySeen_ = true;
        if (argument.contains('=')) return Positional(argument.mid(name.size() + 1));
    } else if (argument == "-h" || argument == "--help") {
        options_.Help = true;
    } else if (argument == "--record-missing") {
        options_.RecordMissing = true;
    } else if (name == "--since") {
        if (!Value(argument, name, text)) return "--since needs a date (YYYY-MM-DD)";
        return Since(text);
    } else if (name == "--max-rate") {
        if (!Value(argument, name, text)) return "--max-rate needs a rate in MiB/s";
        return MaxRate(text);
    } else if (name == "--json") {
        if (!Value(argument, name, text) || text.isEmpty()) return "--json needs a file (- for standard output)";
        options_.Json = text;
    } else {
        return "unknown option '" + Printable(argument) + "'";
    }
    return {};
}

bool OptionReader::Value(const QByteArray& argument, const QByteArray& name, QByteArray& out) {
    if (argument.startsWith(name + '=')) {
        out = argument.mid(name.size() + 1);
        return true;
    }
    if (next_ >= arguments_.size()) return false;
    out = arguments_[next_++];
    return true;
}

QByteArray OptionReader::Since(const QByteArray& text) {
    const QDate date = QDate::fromString(QString::fromLatin1(text), QStringLiteral("yyyy-MM-dd"));
    if (!date.isValid() || text.size() != 10) return "--since needs a date (YYYY-MM-DD), not '" + Printable(text) + "'";
    options_.Since = date;
    return {};
}

QByteArray OptionReader::MaxRate(const QByteArray& text) {
    bool ok = false;
    const double rate = text.toDouble(&ok);
    if (!ok || !(rate >= 0) || rate > 1e9)
        return "--max-rate needs a rate in MiB/s (0 for no limit), not '" + Printable(text) + "'";
    options_.MaxRate = rate;
    return {};
}

}  // namespace

QByteArray ReadVerifyOptions(const std::vector<QByteArray>& arguments, VerifyOptions& options) {
    return OptionReader(arguments, options).Read();
}

QByteArray ArchiveFolder(const VerifyOptions& options, QByteArray& folder) {
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

}  // namespace hv::fixity
