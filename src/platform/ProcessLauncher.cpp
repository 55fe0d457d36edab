#include "platform/ProcessLauncher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>

extern char** environ;

namespace hv {

ProcessLauncher::~ProcessLauncher() { ReapDetached(); }

pid_t ProcessLauncher::Spawn(const QString& path, const QStringList& arguments, int* error) {
    const QByteArray program = QFile::encodeName(path);
    std::vector<QByteArray> argBytes{program};
    for (const QString& a : arguments) argBytes.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : argBytes) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // Everything above standard error stays with this process.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t noSignals;
    sigset_t allSignals;
    sigemptyset(&noSignals);
    sigfillset(&allSignals);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setsigdefault(&attributes, &allSignals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);

    pid_t pid = -1;
    const int result = ::posix_spawn(&pid, program.constData(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != nullptr) *error = result;
    return result == 0 ? pid : -1;
}

bool ProcessLauncher::StartDetached(const QString& path, const QStringList& arguments, int* error) {
    ReapDetached();
    const pid_t pid = Spawn(path, arguments, error);
    if (pid <= 0) return false;
    detached_.push_back(pid);
    return true;
}

pid_t ProcessLauncher::StartChild(const QString& path, const QStringList& arguments, int* error) {
    ReapDetached();
    return Spawn(path, arguments, error);
}

bool ProcessLauncher::ChildEnded(pid_t pid) {
    if (pid <= 0) return true;
    int status = 0;
    pid_t r = 0;
    do {
        r = ::waitpid(pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    // Ended and reaped now, or no longer ours to wait for (reaped before).
    return r == pid || (r < 0 && errno == ECHILD);
}

void ProcessLauncher::ReapDetached() {
    detached_.erase(std::remove_if(detached_.begin(), detached_.end(), [](pid_t pid) { return ChildEnded(pid); }),
                    detached_.end());
}

}  // namespace hv
