#include "ProgramWorld.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
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

QProcessEnvironment World::Environment() const {
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
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.remove(QStringLiteral("DISPLAY"));
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

QProcessEnvironment WithoutADisplay(const World& world) {
    QProcessEnvironment environment = world.Environment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) environment.remove(QString::fromLatin1(name));
    return environment;
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

bool AnswersController(Child& halvane, std::uint16_t port, int timeoutMs) {
    const bool answered = WaitUntil(
        [&] { return !halvane.Running() || AskCrestron(port, "C0601\n") == kNoPlayPosition; }, timeoutMs);
    return answered && halvane.Running();
}

}  // namespace hv::desktop
