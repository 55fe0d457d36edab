#include "res/MenuResource.h"

#include <cstring>
#include <iterator>

namespace hv {

namespace {

using K = MenuItemKind;

constexpr MenuItemDef kDebug[] = {
    {K::Command, cmd::KestriloLog, "Kestrilo Log", {}},
    {K::Command, cmd::CrestronLog, "Crestron Log", {}},
    {K::Command, cmd::PlayPosLog, "PlayPos Log", {}},
    {K::Command, cmd::Test, "Test", {}},
};

constexpr MenuItemDef kAdvanced[] = {
    {K::Command, cmd::AdvancedStart, "Start", {}},
    {K::Command, cmd::AdvancedStop, "Stop", {}},
    {K::Separator, 0, "", {}},
    {K::Command, cmd::Settings, "Settings...", {}},
    {K::Submenu, 0, "Debug", kDebug},
};

constexpr MenuItemDef kLanguage[] = {
    {K::Command, cmd::English, "English", {}},
    {K::Command, cmd::Russian, "Russian", {}},
};

constexpr MenuItemDef kFile[] = {
    {K::Command, cmd::StartNewGame, "Start new game", {}},
    {K::Command, cmd::StopGame, "Stop the game", {}},
    {K::Command, cmd::ArchiveGame, "Archive the game...", {}},
    {K::Command, cmd::StartArchivedGame, "Start archived game", {}},
    {K::Separator, 0, "", {}},
    {K::Submenu, 0, "Advanced", kAdvanced},
    {K::Submenu, 0, "Language", kLanguage},
    {K::Command, cmd::Exit, "E&xit", {}},
};

constexpr MenuItemDef kHelp[] = {
    {K::Command, cmd::About, "&About Halvane...", {}},
};

constexpr MenuItemDef kMainMenu[] = {
    {K::Submenu, 0, "&File", kFile},
    {K::Submenu, 0, "&Help", kHelp},
};

constexpr MenuCommandText kCommandTexts[] = {
    {cmd::StartNewGame, "Start new game"},
    {cmd::StopGame, "Stop the game"},
    {cmd::ArchiveGame, "Archive the game..."},
    {cmd::StartArchivedGame, "Start archived game"},
    {cmd::AdvancedStart, "Start"},
    {cmd::AdvancedStop, "Stop"},
    {cmd::Settings, "Settings..."},
    {cmd::KestriloLog, "Kestrilo Log"},
    {cmd::CrestronLog, "Crestron Log"},
    {cmd::PlayPosLog, "PlayPos Log"},
    {cmd::Test, "Test"},
    {cmd::English, "English"},
    {cmd::Russian, "Russian"},
    {cmd::Exit, "E&xit"},
    {cmd::About, "&About Halvane..."},
};

constexpr const char* kSubmenuNames[] = {"&File", "Advanced", "Debug", "Language", "&Help"};

constexpr DialogTextDef kDialogTexts[] = {
    // About box
    {kAboutDialogId, "caption", "About Halvane"},
    {kAboutDialogId, "version", "Halvane, Version 1.0"},
    {kAboutDialogId, "1", "OK"},
    // Settings
    {kSettingsDialogId, "caption", "Halvane Settings"},
    {kSettingsDialogId, "port", "Port:"},
    {kSettingsDialogId, "1000", "Start on system logon"},
    {kSettingsDialogId, "player", "Player"},
    {kSettingsDialogId, "fifo", "FIFO size:"},
    {kSettingsDialogId, "1005", "Use time from score board"},
    {kSettingsDialogId, "rollback", "Rollback (sec):"},
    {kSettingsDialogId, "copyfiles", "Copy Files"},
    {kSettingsDialogId, "1024", "Remote Vortamo IP:"},
    {kSettingsDialogId, "from", "From:"},
    {kSettingsDialogId, "1013", "Add ..."},
    {kSettingsDialogId, "1014", "Remove"},
    {kSettingsDialogId, "to", "To:"},
    {kSettingsDialogId, "1016", "..."},
    {kSettingsDialogId, "1017", "Delete copied files"},
    {kSettingsDialogId, "ratelimit", "Data rate limit:"},
    {kSettingsDialogId, "mbpersec", "(MB per sec)"},
    {kSettingsDialogId, "period", "Period number before the game:"},
    {kSettingsDialogId, "1", "OK"},
    {kSettingsDialogId, "2", "Cancel"},
    // Workflow progress
    {kProgressDialogId, "caption", "Show Progress"},
    {kProgressDialogId, "1022", "Step 1/10"},
};

constexpr const char* kFreeTexts[] = {
    "Init & check files",
    "Reset score board info",
    "Run Vortamo",
    "Run Dravenor",
    "Wait Vortamo starting",
    "Reset Vortamo",
    "Stop & exit Dravenor",
    "Run Kestrilo",
    "Check score board state",
    "Wait Vortamo recording start",
    "Wait Kestrilo starting",
    "Save info for video archive server",
    "...",
    "Init",
    "Stop Kestrilo timer",
    "Stop Vortamo recording",
    "Wait Vortamo finishing",
    "Start file copy to video archive server",
    "Close Vortamo",
    "Stop all applications",
    "wait Dravenor exit",
    "Wait Kestrilo exit",
    "Wait Vortamo exit",
    "Exit Vortamo",
    "Wait Ostrimund exit",
    "Wait Kestrilo start",
    "Wait Period's Info",
    // The settings dialog's folder pickers.
    "Vortamo files (*.mp4)",
    "The folder does not exist.",
    "A folder with \";\" in its name cannot be copied from.",
    // The archive root's hint: where the checksums are and how to check them.
    "Each game folder of the archive holds SHA256SUMS, the checksums of its recordings taken while they were "
    "copied. Check them with: Halvane --verify-archive (or sha256sum -c SHA256SUMS in a game folder).",
};

}  // namespace

std::span<const MenuItemDef> MainMenu() { return kMainMenu; }

unsigned FirstSubmenuCommand(int position) {
    const auto items = kMainMenu[0].children;
    if (position < 0 || position >= static_cast<int>(items.size())) return 0;
    const MenuItemDef& item = items[static_cast<size_t>(position)];
    return item.kind == MenuItemKind::Command ? item.command : 0;
}

std::span<const MenuCommandText> MenuCommandTexts() { return kCommandTexts; }
std::span<const char* const> MenuSubmenuNames() { return kSubmenuNames; }
std::span<const DialogTextDef> DialogTexts() { return kDialogTexts; }
std::span<const char* const> FreeTexts() { return kFreeTexts; }

const char* BuiltInDialogText(unsigned dialog, const char* key) {
    for (const auto& t : kDialogTexts) {
        if (t.dialog == dialog && std::strcmp(t.key, key) == 0) return t.text;
    }
    return nullptr;
}

}  // namespace hv
