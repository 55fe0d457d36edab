#pragma once
// Support for tests that start the real Halvane program as a user does (ProgramWorld.h),
// optionally on a virtual X display with a notification area, driven from outside with
// xdotool.

#include <QProcessEnvironment>
#include <QRect>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

#include "ProgramWorld.h"
#include "Requirements.h"

namespace hv::desktop {

// A virtual X server on a display of its own.
class XDisplay {
public:
    // Empty when Xvfb is not installed or did not start.
    static std::unique_ptr<XDisplay> Start();
    QString Name() const { return name_; }  // ":N"
    // The environment of a program shown on this display.
    void Apply(QProcessEnvironment& environment) const;

    // Runs an X tool (xdotool, xprop) on this display; its standard output, or nullopt when
    // it failed.
    std::optional<QString> Tool(const QString& tool, const QStringList& arguments) const;
    // Visible top-level windows of a process, by the process id Qt writes on each.
    QStringList VisibleWindowsOf(qint64 pid) const;
    QRect Geometry(const QString& window) const;
    QString Property(const QString& window, const QString& name) const;
    QString Title(const QString& window) const;
    // True when the window's _NET_WM_WINDOW_TYPE names `type` ("TOOLTIP", "DIALOG", ...).
    bool IsOfType(const QString& window, const char* type) const;
    // Saves the screen (or a part of it) as PNG under the build folder's artefacts.
    bool Screenshot(const QString& fileName, const QRect& part = QRect()) const;
    // The same once the picture has settled: taken again until two in a row are alike, so
    // that a window just shown has been painted.
    bool SettledScreenshot(const QString& fileName, const QRect& part = QRect()) const;

private:
    Child server_;
    QString name_;
};

// A virtual display for a test on the desktop: the desktop's tools (and `more`) installed
// and the X server started into `display`; otherwise what is missing, for HV_NEEDS:
//   HV_NEEDS(StartDesktop(display_));
test::Need StartDesktop(std::unique_ptr<XDisplay>& display, std::initializer_list<const char*> more = {});

QString ArtefactPath(const QString& fileName);
QString FindTool(const QString& name);

// Starts a notification area (trayer) on `display` as `area` and waits until it is shown.
// Under load trayer may fail to reach a display that was only just opened: it is started
// again, up to three times. False when it never came up.
bool StartNotificationArea(const XDisplay& display, Child& area);

// The icon: the program's small window that the notification area has taken in, among
// `windows()` (the program's visible windows); empty when `running()` turns false first or
// the time is up.
QString WaitForIcon(const XDisplay& display, const std::function<QStringList()>& windows,
                    const std::function<bool()>& running);

}  // namespace hv::desktop
