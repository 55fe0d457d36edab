#pragma once
// The notification-area menu: the first submenu of menu 128, built in the current
// language with the frame's enabled and ticked states. GUI thread only.

#include <QMenu>
#include <memory>

#include "tray/SystemTray.h"

namespace hv {

// Each command item's action carries its command number as data (an unsigned int); the
// item at the default position is the menu's default action.
std::unique_ptr<QMenu> BuildTrayMenu(ITrayMenuOwner& owner);

// The command number an action of that menu stands for, 0 for none.
unsigned CommandOfAction(const QAction* action);

}  // namespace hv
