#pragma once
// `Halvane --verify-archive [FOLDER] [options]`: checks the video archive against its
// checksum manifests (see ArchiveCheck) without a running Halvane, and ends. Answered
// before anything else of the program starts, like --help: no display, no log file, no
// single-instance lock, nothing written (unless --record-missing, or --json, says so).
// The archive is FOLDER, by default the configured archive root (CopyToPath), read from
// the settings without creating or changing them.
//
// Exit statuses: 0 all good; 1 damage found (changed or missing files); 2 a command line
// it cannot use; 3 something could not be checked (an unreadable manifest, folder or file,
// a checksum not recorded, no archive); 4 nothing but files without a checksum.

#include <QByteArray>
#include <cstdio>
#include <vector>

namespace hv::fixity {

inline constexpr char kVerifyOption[] = "--verify-archive";

// True when the command line (program first) asks for the archive check: --verify-archive
// (or --verify-archive=FOLDER) anywhere before a "--".
bool IsVerifyCommand(int argc, char** argv);

// Runs the check; the exit status. `arguments` are the command line after the program's
// path, --verify-archive among them; reports go to `out`, messages to `err` (progress only
// when `err` is a terminal).
int RunVerifyCommand(const std::vector<QByteArray>& arguments, std::FILE* out, std::FILE* err);

}  // namespace hv::fixity
