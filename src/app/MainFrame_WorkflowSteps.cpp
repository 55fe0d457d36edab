// The step functions of the four workflows. Until the workflows are built each one ends
// at once, which closes the progress dialog on its first tick.
#include "app/MainFrame.h"

namespace hv {

bool CMainFrame::OnFileReset(std::int32_t&, std::uint32_t&, CShowProgress&) { return false; }
bool CMainFrame::OnFileRecStart(std::int32_t&, std::uint32_t&, CShowProgress&) { return false; }
bool CMainFrame::OnFileRecStop(std::int32_t&, std::uint32_t&, CShowProgress&) { return false; }
bool CMainFrame::OnFileOldStart(std::int32_t&, std::uint32_t&, CShowProgress&) { return false; }

}  // namespace hv
