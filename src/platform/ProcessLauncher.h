#pragma once
// Starts other programs as child processes. A child inherits standard input (from
// /dev/null), output and error, and no other descriptor of this process: a companion that
// outlives Halvane never keeps the Crestron port, a queue socket or the log file open.
//
// Detached children are reaped without blocking whenever the launcher is used again (and
// by ReapDetached), so that an ended companion does not stay a zombie. Runs on the GUI
// thread.

#include <sys/types.h>

#include <QString>
#include <QStringList>
#include <vector>

namespace hv {

class ProcessLauncher {
public:
    ProcessLauncher() = default;
    ~ProcessLauncher();
    ProcessLauncher(const ProcessLauncher&) = delete;
    ProcessLauncher& operator=(const ProcessLauncher&) = delete;

    // Starts `path` with `arguments` in a session of its own, watched only for its end.
    // False (errno value in `error`) when it could not be started.
    bool StartDetached(const QString& path, const QStringList& arguments, int* error = nullptr);
    // Starts `path` as a child that the caller waits for; the process id, or -1.
    pid_t StartChild(const QString& path, const QStringList& arguments, int* error = nullptr);
    // True once the child `pid` has ended; it is then reaped. Does not block.
    static bool ChildEnded(pid_t pid);

    // Hands a child started with StartChild over to be reaped like a detached one.
    void Detach(pid_t pid) {
        if (pid > 0) detached_.push_back(pid);
    }
    // Reaps the detached children that have ended. Does not block.
    void ReapDetached();
    // Detached children not yet seen to end.
    const std::vector<pid_t>& DetachedChildren() const { return detached_; }

private:
    static pid_t Spawn(const QString& path, const QStringList& arguments, int* error);

    std::vector<pid_t> detached_;
};

}  // namespace hv
