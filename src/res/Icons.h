#pragma once
// The program's icons: the application icon (128) and the nine status icons (310 to 318)
// of the notification area, drawn as SVG and compiled in.

#include <QIcon>

namespace hv {

inline constexpr unsigned kAppIconId = 128;
inline constexpr unsigned kFirstStatusIconId = 310;
inline constexpr unsigned kLastStatusIconId = 318;

// The icon with that resource id, rendered at the usual sizes; a null icon for an unknown
// id. Needs a QGuiApplication.
QIcon LoadIconResource(unsigned id);

}  // namespace hv
