// "Stop the game": its step function. Until it is built it ends at once, which closes the
// progress dialog on its first tick.
#include "app/MainFrame.h"

namespace hv {

bool CMainFrame::OnFileRecStop(std::int32_t&, std::uint32_t&, CShowProgress&) { return false; }

}  // namespace hv
