#pragma once
// Computers of a test's own: Linux network namespaces joined by veth pairs, made with `ip`
// (iproute2) and removed by the destructor whatever happened. The test's thread (and every
// process and thread it starts meanwhile) can be put into one of them with InNamespace.
// Needs root; the test scripts run as root, so a test that needs it fails elsewhere.

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <vector>

namespace hv::test {

class NetworkNamespaces {
public:
    NetworkNamespaces() = default;
    ~NetworkNamespaces() {
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) Ip({"netns", "del", *it});
    }
    NetworkNamespaces(const NetworkNamespaces&) = delete;
    NetworkNamespaces& operator=(const NetworkNamespaces&) = delete;

    static QString IpProgram() { return QStandardPaths::findExecutable(QStringLiteral("ip"), {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}); }

    // A namespace with its loopback up.
    bool Add(const QString& name) {
        if (!Ip({"netns", "add", name})) return false;
        made_.push_back(name);
        return Ip({"-n", name, "link", "set", "lo", "up"});
    }

    // A veth pair from `a` (device `deviceA`, address `addressA`/24) to `b`, both ends up.
    bool Join(const QString& a, const QString& deviceA, const QString& addressA, const QString& b,
              const QString& deviceB, const QString& addressB) {
        return Ip({"-n", a, "link", "add", deviceA, "type", "veth", "peer", "name", deviceB, "netns", b}) &&
               Ip({"-n", a, "addr", "add", addressA + "/24", "dev", deviceA}) &&
               Ip({"-n", b, "addr", "add", addressB + "/24", "dev", deviceB}) && SetLink(a, deviceA, true) &&
               SetLink(b, deviceB, true);
    }

    bool SetLink(const QString& name, const QString& device, bool up) {
        return Ip({"-n", name, "link", "set", device, up ? "up" : "down"});
    }

    // Runs `ip` with `arguments` and waits for it; true when it succeeded.
    static bool Ip(const QStringList& arguments) {
        const QByteArray program = IpProgram().toLocal8Bit();
        if (program.isEmpty()) return false;
        std::vector<QByteArray> bytes{program};
        for (const QString& a : arguments) bytes.push_back(a.toLocal8Bit());
        std::vector<char*> argv;
        for (QByteArray& b : bytes) argv.push_back(b.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    std::vector<QString> made_;
};

// While it lives, the calling thread is in the network namespace `name`, and so is what it
// starts (threads, processes); then it is back where it was.
class InNamespace {
public:
    explicit InNamespace(const QString& name) {
        original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = ::open(("/run/netns/" + name).toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
        entered_ = original_ >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) ::close(target);
    }
    ~InNamespace() {
        if (entered_) ::setns(original_, CLONE_NEWNET);
        if (original_ >= 0) ::close(original_);
    }
    InNamespace(const InNamespace&) = delete;
    InNamespace& operator=(const InNamespace&) = delete;
    bool Entered() const { return entered_; }

private:
    int original_ = -1;
    bool entered_ = false;
};

}  // namespace hv::test
