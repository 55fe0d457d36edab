#include "res/StringTable.h"

#include <algorithm>
#include <iterator>

namespace hv {

namespace {
struct StringEntry {
    unsigned id;
    const char* text;
};

constexpr StringEntry kStrings[] = {
    {100, "OLE initialization failed.  Make sure that the OLE libraries are the correct version."},
    {513, "Can't init TCP/IP port #%d for Crestron interaction!\nError=%d on step=%d."},
    {514, "Can't create queue!\nTry reinstall Zandrel software."},
    {515, "Can't init Lumentra player!\nPlayer name '%s'  fifo size %dms,\nError=%d on step=%d."},
    {518, "Follow event names not configured: %s !!!\r\nAdd names by Pavrelle (Tamberlo.exe) and start again."},
    {523, "Some files not copied yet!\n\nDo you want to stop file coping and exit?"},
};
}  // namespace

const char* BuiltInString(unsigned id) {
    const auto* found = std::find_if(std::begin(kStrings), std::end(kStrings),
                                     [id](const StringEntry& e) { return e.id == id; });
    return found != std::end(kStrings) ? found->text : nullptr;
}

}  // namespace hv
