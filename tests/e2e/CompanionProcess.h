#pragma once
// A companion program (the referee console or recorder stand-in) as a child process of a
// test: started with posix_spawn (the thread sanitizer cannot follow QProcess's way of
// starting children), its standard output and error written to files that the test
// reads, the queue scope of the test inherited through the environment.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QStringList>
#include <QThread>
#include <vector>

namespace hv::test {

class CompanionProcess {
public:
    CompanionProcess() = default;
    ~CompanionProcess() { Kill(); }
    CompanionProcess(const CompanionProcess&) = delete;
    CompanionProcess& operator=(const CompanionProcess&) = delete;

    // Starts bin/<name> with `args`; `environment` entries ("NAME=value") are added to the
    // test's own. Output goes to <outputBase>.out and <outputBase>.err.
    bool Start(const char* name, const QStringList& args, const QString& outputBase,
               const QStringList& environment = {}) {
        return StartProgram(QCoreApplication::applicationDirPath() + u'/' + QString::fromUtf8(name), args, outputBase,
                            environment);
    }
    // The same for the program at `path`.
    bool StartProgram(const QString& path, const QStringList& args, const QString& outputBase,
                      const QStringList& environment = {}) {
        outPath_ = outputBase + QStringLiteral(".out");
        errPath_ = outputBase + QStringLiteral(".err");
        const QByteArray program = path.toLocal8Bit();
        std::vector<QByteArray> argBytes{program};
        for (const QString& a : args) argBytes.push_back(a.toLocal8Bit());
        std::vector<char*> argv;
        for (QByteArray& a : argBytes) argv.push_back(a.data());
        argv.push_back(nullptr);

        // The added entries come first: a name looked up finds them before the test's own.
        std::vector<QByteArray> envBytes;
        for (const QString& e : environment) envBytes.push_back(e.toLocal8Bit());
        for (char** e = environ; *e != nullptr; ++e) envBytes.emplace_back(*e);
        std::vector<char*> envp;
        for (QByteArray& e : envBytes) envp.push_back(e.data());
        envp.push_back(nullptr);

        const QByteArray out = outPath_.toLocal8Bit();
        const QByteArray err = errPath_.toLocal8Bit();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int error = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) pid_ = -1;
        return error == 0;
    }

    // Waits, with the event loop running, until the output holds the line `line`.
    bool WaitForLine(const QString& line, int timeoutMs = 30000) {
        QDeadlineTimer deadline(timeoutMs);
        while (!Output().contains(line + u'\n')) {
            if (deadline.hasExpired() || HasEnded()) return Output().contains(line + u'\n');
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(5);
        }
        return true;
    }

    // Waits, with the event loop running, for the end; the exit code, or -1 when the
    // program did not end in time or was killed by a signal.
    int WaitForExit(int timeoutMs = 30000) {
        QDeadlineTimer deadline(timeoutMs);
        while (!HasEnded()) {
            if (deadline.hasExpired()) return -1;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(5);
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }

    bool HasEnded() {
        if (pid_ <= 0) return true;
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = status;
            pid_ = -1;
            return true;
        }
        return false;
    }

    void Kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

    pid_t Pid() const { return pid_; }
    QString Output() const { return ReadAll(outPath_); }
    QString Errors() const { return ReadAll(errPath_); }

private:
    static QString ReadAll(const QString& path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) return {};
        return QString::fromUtf8(file.readAll());
    }

    pid_t pid_ = -1;
    int status_ = 0;
    QString outPath_;
    QString errPath_;
};

}  // namespace hv::test
