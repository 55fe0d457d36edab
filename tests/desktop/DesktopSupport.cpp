#include "DesktopSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>
#include <atomic>
#include <set>

namespace hv::desktop {

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer elapsed;
    elapsed.start();
    for (;;) {
        if (condition()) return true;
        if (elapsed.elapsed() > timeoutMs) return false;
        QThread::msleep(100);
    }
}

QString FindTool(const QString& name) { return QStandardPaths::findExecutable(name); }

QString ArtefactPath(const QString& fileName) {
    QDir().mkpath(QStringLiteral(HALVANE_DESKTOP_ARTEFACTS));
    return QDir(QStringLiteral(HALVANE_DESKTOP_ARTEFACTS)).filePath(fileName);
}

// ---- Child ----

Child::~Child() {
    if (Running()) KillHard();
}

bool Child::Start(const QString& program, const QStringList& arguments,
                  const QProcessEnvironment& environment) {
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    return process.waitForStarted(kWaitMs);
}

QString Child::NextLine(int timeoutMs) {
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(timeoutMs)) return {};
    }
    return QString::fromUtf8(process.readLine()).trimmed();
}

QString Child::ErrorText() {
    errors_ += QString::fromUtf8(process.readAllStandardError());
    return errors_;
}

void Child::KillHard() {
    process.kill();
    process.waitForFinished(kWaitMs);
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

// ---- World ----

namespace {
QString UniqueName(const QString& testName) {
    static std::atomic<int> counter{0};
    return QStringLiteral("hvdesk-%1-%2-%3")
        .arg(QCoreApplication::applicationPid())
        .arg(counter++)
        .arg(testName);
}


// Worlds live in the build folder: on the program's file system, so that it can be linked.
QString WorldTemplate(const QString& testName) {
    QDir().mkpath(QStringLiteral(HALVANE_DESKTOP_RUNS));
    return QDir(QStringLiteral(HALVANE_DESKTOP_RUNS)).filePath(testName + QStringLiteral("-XXXXXX"));
}
}  // namespace

World::World(const QString& testName) : dir_(WorldTemplate(testName)), unique_(UniqueName(testName)) {
    for (const char* sub : {"config", "system", "state", "runtime"}) QDir(dir_.path()).mkpath(sub);
    QFile::setPermissions(Path("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QString World::Program(const QString& folder) {
    const QString target = Path(folder + QStringLiteral("/Halvane"));
    if (QFileInfo::exists(target)) return target;
    QDir(dir_.path()).mkpath(folder);
    const QString source = QStringLiteral(HALVANE_PROGRAM);
    // A hard link is the program itself under another folder; a copy where links fail.
    if (::link(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) != 0)
        QFile::copy(source, target);
    return target;
}

void World::SetSetting(const QString& name, const QVariant& value) {
    QSettings settings(Path("config/Tervanix/Halvane.conf"), QSettings::IniFormat);
    settings.setValue(QStringLiteral("Settings/") + name, value);
    settings.sync();
}

QProcessEnvironment World::Environment(const XDisplay* display) const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), Path("config"));
    environment.insert(QStringLiteral("XDG_CONFIG_DIRS"), Path("system"));
    environment.insert(QStringLiteral("XDG_STATE_HOME"), Path("state"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), Path("runtime"));
    environment.insert(QStringLiteral("ZANDREL_QUEUE_SCOPE"), unique_);
    environment.insert(QStringLiteral("HALVANE_INSTANCE_NAME"), unique_);
    environment.insert(QStringLiteral("HALVANE_COMPONENT_DIR"),
                       QStringLiteral(HALVANE_COMPONENT_FOLDER));
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));  // the X notification area
    environment.insert(QStringLiteral("LSAN_OPTIONS"),
                       QStringLiteral("suppressions=%1").arg(HALVANE_DESKTOP_LSAN_SUPPRESSIONS));
    if (display != nullptr) {
        display->Apply(environment);
    } else {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.remove(QStringLiteral("DISPLAY"));
    }
    return environment;
}

QStringList World::LogFiles(const QString& folder) const {
    const QDir dir(Path(folder));
    QStringList files;
    for (const QString& name : dir.entryList({QStringLiteral("Halvane_*.log")}, QDir::Files))
        files << dir.filePath(name);
    return files;
}

QString World::LogText(const QString& folder) const {
    QString text;
    for (const QString& path : LogFiles(folder)) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) text += QString::fromUtf8(file.readAll());
    }
    return text;
}

// ---- sockets ----

std::uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t size = sizeof address;
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

int HoldPort(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 1) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string AskCrestron(std::uint16_t port, const std::string& command) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    timeval timeout{kWaitMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, command.data(), command.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(command.size())) {
        char c = 0;
        while (::recv(fd, &c, 1, 0) == 1) {
            answer += c;
            if (c == '\n') break;
        }
    }
    ::close(fd);
    return answer;
}

bool ProcessListensOn(qint64 pid, std::uint16_t port) {
    // Listening sockets of the port, by inode, then the process's descriptors.
    std::set<QString> inodes;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly)) continue;
        const QStringList lines = QString::fromLatin1(file.readAll()).split(u'\n');
        for (const QString& line : lines.mid(1)) {
            const QStringList fields = line.simplified().split(u' ');
            if (fields.size() < 10) continue;
            const uint localPort = fields[1].section(u':', -1).toUInt(nullptr, 16);
            if (localPort == port && fields[3] == u"0A") inodes.insert(fields[9]);
        }
    }
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString& fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        static const QRegularExpression socket(QStringLiteral("socket:\\[(\\d+)\\]"));
        char buffer[128];
        const ssize_t n = ::readlink(QFile::encodeName(fds.filePath(fd)).constData(), buffer,
                                     sizeof buffer - 1);
        if (n <= 0) continue;
        const QString link = QString::fromLatin1(buffer, n);
        const auto match = socket.match(link);
        if (match.hasMatch() && inodes.count(match.captured(1)) != 0) return true;
    }
    return false;
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
