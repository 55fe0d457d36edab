#pragma once
// The command line of `Halvane --verify-archive` (see VerifyCommand.h), its help, and the
// archive folder it names or the settings name.

#include <QByteArray>
#include <QDate>
#include <optional>
#include <vector>

namespace hv::fixity {

inline constexpr double kDefaultMaxRateMiBps = 64;

struct VerifyOptions {
    std::optional<QByteArray> Folder;
    std::optional<QDate> Since;
    double MaxRate = kDefaultMaxRateMiBps;
    std::optional<QByteArray> Json;
    bool RecordMissing = false;
    bool Help = false;
};

// The help text (--help).
extern const char kVerifyHelp[];

// Reads the command line (after the program's path, --verify-archive among it); an error
// message when it cannot be used.
QByteArray ReadVerifyOptions(const std::vector<QByteArray>& arguments, VerifyOptions& options);

// The archive folder to check: the one given, else the configured archive root (read from
// the settings without creating or changing them); an error message when there is none, or
// it is not there.
QByteArray ArchiveFolder(const VerifyOptions& options, QByteArray& folder);

}  // namespace hv::fixity
