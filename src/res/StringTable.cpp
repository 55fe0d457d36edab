#include "res/StringTable.h"

#include <algorithm>
#include <iterator>

namespace hv {

namespace {

// Sorted by id. Texts are UTF-8 and used exactly as written.
constexpr StringEntry kStrings[] = {
    {100, "OLE initialization failed.  Make sure that the OLE libraries are the correct version."},
    // Status tooltips of the notification-area icon
    {501, "Halvane\nGame finished"},
    {502, "Halvane\nSave game to archive"},
    {503, "Halvane\nStart recording"},
    {504, "Halvane\nStop recording"},
    {505, "Halvane\nUnknown state"},
    {506, "Halvane\nERROR state"},
    {507, "Halvane\nStopped"},
    {508, "Halvane\nRunning"},
    {509, "Halvane\nCopy files (Stopped)"},
    {510, "Halvane\nCopy files (Running)"},
    {511, "%d ms"},
    {512, "Stop execution before run the settings dialog!\n\nDo you want stop execution right now?"},
    {513, "Can't init TCP/IP port #%d for Crestron interaction!\nError=%d on step=%d."},
    {514, "Can't create queue!\nTry reinstall Zandrel software."},
    {515, "Can't init Lumentra player!\nPlayer name '%s'  fifo size %dms,\nError=%d on step=%d."},
    {517, "Can't create title engine scaner!\nTry reinstall Zandrel software."},
    {518, "Follow event names not configured: %s !!!\r\nAdd names by Pavrelle (Tamberlo.exe) and start again."},
    {521, "Now we ready to start new game."},
    {522, "File coping is not finished yet!\n\nWait finish and try again."},
    {523, "Some files not copied yet!\n\nDo you want to stop file coping and exit?"},
    {525, "Can't start Ostrimund.exe!"},
    {527, "Are you ready to archive the game?"},
    {528, "Are you ready to start the game?"},
    {529, "Are you ready to stop the game?"},
    {530, "Video archive root folder was not specified!\n\nChoose root folder and try again."},
    {531, "Vortamo root folder was not specified!\n\nChoose root folder and try again."},
    {532, "Can't start the Vortamo application!\r\n\r\nDo you want to continue without Vortamo?"},
    {533, "Score board info is not reseted now!\n\nContinue with wrang time info?"},
    {535, "New game is recoding now."},
    {536, "Game is not recording now!\n\nDo you want to continue?"},
    {537, "Game recoding was stopped."},
    {538, "Can't send command to application Vortamo!"},
    {539, "Can't send command to application Kestrilo!"},
    {540, "No answer from Kestrilo application!\n\nCheck the application and click OK to continue."},
    {541, "Can't open file:\n%s\nError = %d."},
    {542, "Can't move file\n%s\nto file %s\nError = %d."},
    // Captions of the progress dialog
    {543, "Prepare Game"},
    {544, "Start Recording"},
    {545, "Stop Recording"},
    {546, "After Restore"},
    {547, "Can't close Dravenor application"},
    {548, "Can't close Kestrilo application"},
    {549, "Can't close Vortamo application"},
    {550, "There is no periods!"},
    {551, "Game info was restored successfully."},
    {552, "ERROR - big time difference with Vortamo PC:\r\n%d ms\r\n\r\nCorrect time and try again."},
    {553, "The computer's clock can't be read as a date!\n\nSet the date and time of this computer and try again."},
    // The copy status while copies wait for the video archive
    {554, "Video archive is full - copying waits for free space"},
    {555, "Video archive cannot be reached - copying waits for it"},
    // Menu prompts, numbered like their commands
    {32771, "Change settings\nSettings..."},
    {32772, "Enable Crestron command execution\nStart"},
    {32773, "Disable Crestron command execution\nStop"},
    {32779, "Call application to save game to archive"},
    {32780, "Send commands to start recording"},
    {32781, "Send commands to stop recording"},
    {57665, "Quit the application\nExit"},
};

constexpr bool SortedById() {
    for (size_t i = 1; i < std::size(kStrings); ++i) {
        if (kStrings[i - 1].id >= kStrings[i].id) return false;
    }
    return true;
}
static_assert(SortedById(), "the string table must be sorted by id, without repeats");

}  // namespace

const char* BuiltInString(unsigned id) {
    const auto* found = std::lower_bound(std::begin(kStrings), std::end(kStrings), id,
                                         [](const StringEntry& e, unsigned v) { return e.id < v; });
    return found != std::end(kStrings) && found->id == id ? found->text : nullptr;
}

std::span<const StringEntry> BuiltInStrings() { return kStrings; }

}  // namespace hv
