#pragma once
// The menu of the main frame (menu 128) and the fixed texts of the dialogs, as data. The
// texts here are the built-in English ones; a language file may replace each of them.

#include <span>

namespace hv {

enum class MenuItemKind { Command, Separator, Submenu };

struct MenuItemDef {
    MenuItemKind kind;
    unsigned command;  // Command items only
    const char* text;  // English text with its '&' mnemonic; Submenu items are named by it
    std::span<const MenuItemDef> children;  // Submenu items only
};

// Commands of the menu.
namespace cmd {
inline constexpr unsigned Settings = 32771;
inline constexpr unsigned AdvancedStart = 32772;
inline constexpr unsigned AdvancedStop = 32773;
inline constexpr unsigned English = 32774;
inline constexpr unsigned Russian = 32775;
inline constexpr unsigned KestriloLog = 32776;
inline constexpr unsigned CrestronLog = 32777;
inline constexpr unsigned PlayPosLog = 32778;
inline constexpr unsigned ArchiveGame = 32779;
inline constexpr unsigned StartNewGame = 32780;
inline constexpr unsigned StopGame = 32781;
inline constexpr unsigned Test = 32782;
inline constexpr unsigned StartArchivedGame = 32783;
inline constexpr unsigned About = 57664;
inline constexpr unsigned Exit = 57665;
}  // namespace cmd

inline constexpr unsigned kMainMenuId = 128;
// Position of the default item (run by a double-click on the icon) in the first submenu.
inline constexpr int kDefaultMenuPosition = 0;

// The top-level items of menu 128: the "&File" submenu (the notification-area menu)
// followed by "&Help".
std::span<const MenuItemDef> MainMenu();

// The command of the item at `position` of the first submenu, 0 when there is none.
unsigned FirstSubmenuCommand(int position);

// Every Command item of the menu, depth first, with its English text.
struct MenuCommandText {
    unsigned command;
    const char* text;
};
std::span<const MenuCommandText> MenuCommandTexts();
// Every submenu's English name (the key a language file translates it by).
std::span<const char* const> MenuSubmenuNames();

// A fixed text of a dialog: dialog id, the key that names the text (the control id in
// decimal, "caption" for the title, or a name for a label without an id) and its English
// text.
struct DialogTextDef {
    unsigned dialog;
    const char* key;
    const char* text;
};

inline constexpr unsigned kAboutDialogId = 100;
inline constexpr unsigned kSettingsDialogId = 319;
inline constexpr unsigned kProgressDialogId = 320;

std::span<const DialogTextDef> DialogTexts();
// The English text of a dialog's text, or null when there is none.
const char* BuiltInDialogText(unsigned dialog, const char* key);

// Texts shown without a string number (the workflows' step texts, the folder pickers'
// file filter and message).
std::span<const char* const> FreeTexts();

}  // namespace hv
