#include "DesktopSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

namespace hv::desktop {

QString FindTool(const QString& name) { return QStandardPaths::findExecutable(name); }

QString ArtefactPath(const QString& fileName) {
    QDir().mkpath(QStringLiteral(HALVANE_DESKTOP_ARTEFACTS));
    return QDir(QStringLiteral(HALVANE_DESKTOP_ARTEFACTS)).filePath(fileName);
}

// ---- XDisplay ----

std::unique_ptr<XDisplay> XDisplay::Start() {
    const QString xvfb = FindTool(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty()) return nullptr;
    auto display = std::make_unique<XDisplay>();
    // The server picks a free display and names it on its standard output.
    if (!display->server_.Start(xvfb,
                                {"-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp"},
                                QProcessEnvironment::systemEnvironment()))
        return nullptr;
    const QString number = display->server_.NextLine();
    if (number.isEmpty()) return nullptr;
    display->name_ = QStringLiteral(":") + number;
    // Ready once a client is served.
    if (!FindTool(QStringLiteral("xdotool")).isEmpty() &&
        !WaitUntil([&] {
            return display->Tool(QStringLiteral("xdotool"), {"getdisplaygeometry"}).has_value();
        }))
        return nullptr;
    return display;
}

test::Need StartDesktop(std::unique_ptr<XDisplay>& display, std::initializer_list<const char*> more) {
    const test::Need tools = test::DesktopTools(more);
    if (!tools.IsMet()) return tools;
    display = XDisplay::Start();
    return test::DesktopStarted(display != nullptr, "the virtual X server did not start");
}

void XDisplay::Apply(QProcessEnvironment& environment) const {
    environment.insert(QStringLiteral("DISPLAY"), name_);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
}

std::optional<QString> XDisplay::Tool(const QString& tool, const QStringList& arguments) const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    Apply(environment);
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(tool, arguments);
    if (!process.waitForFinished(kWaitMs) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(process.readAllStandardOutput());
}

QStringList XDisplay::VisibleWindowsOf(qint64 pid) const {
    // xdotool ends with 1 when it found nothing.
    const auto found = Tool(QStringLiteral("xdotool"),
                            {"search", "--onlyvisible", "--pid", QString::number(pid)});
    if (!found) return {};
    return found->split(u'\n', Qt::SkipEmptyParts);
}

QRect XDisplay::Geometry(const QString& window) const {
    const auto shell = Tool(QStringLiteral("xdotool"), {"getwindowgeometry", "--shell", window});
    if (!shell) return {};
    int x = 0, y = 0, width = 0, height = 0;
    for (const QString& line : shell->split(u'\n', Qt::SkipEmptyParts)) {
        const QString key = line.section(u'=', 0, 0);
        const int value = line.section(u'=', 1).toInt();
        if (key == u"X") x = value;
        else if (key == u"Y") y = value;
        else if (key == u"WIDTH") width = value;
        else if (key == u"HEIGHT") height = value;
    }
    return QRect(x, y, width, height);
}

QString XDisplay::Property(const QString& window, const QString& name) const {
    return Tool(QStringLiteral("xprop"), {"-id", window, name}).value_or(QString()).trimmed();
}

bool XDisplay::IsOfType(const QString& window, const char* type) const {
    return Property(window, QStringLiteral("_NET_WM_WINDOW_TYPE")).contains(QLatin1StringView(type));
}

QString XDisplay::Title(const QString& window) const {
    return Tool(QStringLiteral("xdotool"), {"getwindowname", window}).value_or(QString()).trimmed();
}

bool XDisplay::Screenshot(const QString& fileName, const QRect& part) const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    Apply(environment);
    environment.insert(QStringLiteral("LSAN_OPTIONS"),
                       QStringLiteral("suppressions=%1").arg(HALVANE_DESKTOP_LSAN_SUPPRESSIONS));
    QStringList arguments{ArtefactPath(fileName)};
    if (part.isValid())
        arguments << QString::number(part.x()) << QString::number(part.y())
                  << QString::number(part.width()) << QString::number(part.height());
    QProcess grab;
    grab.setProcessEnvironment(environment);
    grab.start(QDir(QCoreApplication::applicationDirPath()).filePath("halvane_screen_grab"),
               arguments);
    return grab.waitForFinished(kWaitMs) && grab.exitStatus() == QProcess::NormalExit &&
           grab.exitCode() == 0;
}

bool XDisplay::SettledScreenshot(const QString& fileName, const QRect& part) const {
    QByteArray previous;
    return WaitUntil([&] {
        if (!Screenshot(fileName, part)) return false;
        QFile picture(ArtefactPath(fileName));
        const QByteArray taken = picture.open(QIODevice::ReadOnly) ? picture.readAll() : QByteArray();
        const bool settled = !taken.isEmpty() && taken == previous;
        previous = taken;
        return settled;
    });
}

// ---- World on a display ----

QProcessEnvironment World::Environment(const XDisplay* display) const {
    QProcessEnvironment environment = Environment();
    if (display != nullptr) display->Apply(environment);
    return environment;
}

bool StartNotificationArea(const XDisplay& display, Child& area) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    display.Apply(environment);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!area.Start(FindTool(QStringLiteral("trayer")),
                        {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120",
                         "--heighttype", "pixel", "--height", "24"},
                        environment))
            return false;
        bool shown = false;
        WaitUntil(
            [&] {
                shown = display.Tool(QStringLiteral("xdotool"), {"search", "--onlyvisible", "--class", "trayer"})
                            .has_value();
                return shown || !area.Running();
            },
            20000);
        if (shown) return true;
        area.KillHard();
    }
    return false;
}

QString WaitForIcon(const XDisplay& display, const std::function<QStringList()>& windows,
                    const std::function<bool()>& running) {
    QString icon;
    WaitUntil([&] {
        if (!running()) return true;
        for (const QString& window : windows()) {
            const QRect place = display.Geometry(window);
            if (place.isValid() && place.width() <= 64 && place.height() <= 64 && !display.IsOfType(window, "TOOLTIP")) {
                icon = window;
                return true;
            }
        }
        return false;
    });
    return icon;
}

}  // namespace hv::desktop
