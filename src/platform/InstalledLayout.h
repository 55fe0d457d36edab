#pragma once
// Where the program's files are. Built, everything sits next to the program (build/bin).
// Installed, the program keeps its private folder and the rest of the tree is shared with
// other packages:
//   <prefix>/lib/halvane/Halvane   the program, its components and the suite's stand-ins
//   <prefix>/share/halvane/        its data (language files)
//   <prefix>/bin/Halvane           the command: a link to the program
// An installed program's folder belongs to the package, whoever may write to it: the
// program leaves nothing of its own there.

#include <filesystem>

namespace hv {

// The running program's own file, links resolved; "Halvane" when it cannot be read.
std::filesystem::path RunningExecutable();

// The data folder of a program installed in `programFolder` (whether or not it exists).
std::filesystem::path InstalledDataFolder(const std::filesystem::path& programFolder);

// True when `programFolder` is the private folder of an installed program: it is
// <prefix>/lib/halvane and <prefix>/share/halvane exists beside it.
bool IsInstalledProgramFolder(const std::filesystem::path& programFolder);

// The command that starts the installed `executable`: <prefix>/bin/<its name> when that
// leads to it (usually as a link). Empty when the program is not installed or no
// command leads to it.
std::filesystem::path InstalledCommandFor(const std::filesystem::path& executable);

}  // namespace hv
