#include "platform/InstalledLayout.h"

#include <system_error>

namespace hv {

namespace fs = std::filesystem;

fs::path RunningExecutable() {
    std::error_code error;
    auto path = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path("Halvane") : path;
}

fs::path InstalledDataFolder(const fs::path& programFolder) {
    return (programFolder / HALVANE_DATA_FROM_PROGRAM).lexically_normal();
}

bool IsInstalledProgramFolder(const fs::path& programFolder) {
    // The folder's last components must be the program folder's own: ".../lib/halvane".
    const fs::path folder = programFolder.lexically_normal();
    const fs::path own = fs::path(HALVANE_INSTALL_PROGRAM_DIR).lexically_normal();
    auto at = folder.end();
    if (!folder.empty() && folder.filename().empty()) --at;  // a trailing separator
    for (auto part = own.end(); part != own.begin();) {
        --part;
        if (at == folder.begin()) return false;
        --at;
        if (*at != *part) return false;
    }
    std::error_code error;
    return fs::is_directory(InstalledDataFolder(folder), error);
}

fs::path InstalledCommandFor(const fs::path& executable) {
    if (!IsInstalledProgramFolder(executable.parent_path())) return {};
    const fs::path command =
        (executable.parent_path() / HALVANE_BIN_FROM_PROGRAM / executable.filename())
            .lexically_normal();
    std::error_code error;
    if (!fs::equivalent(command, executable, error) || error) return {};
    return command;
}

}  // namespace hv
