#pragma once
// A systemctl of the test's own, first on the path while the object lives: it notes its
// process id and how it was called, then waits until the test opens its gate (a pipe), or
// 30 s. It shows whether whoever started it waited for it.

#include <fcntl.h>
#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include "ScopedEnvironment.h"

namespace hv::test {

class OwnSystemctl {
public:
    explicit OwnSystemctl(const QTemporaryDir& dir) : dir_(dir) {
        const QString bin = dir.filePath("systemctl-bin");
        QDir().mkpath(bin);
        ::mkfifo(Gate().toLocal8Bit().constData(), 0600);
        QFile script(bin + "/systemctl");
        if (script.open(QIODevice::WriteOnly))
            script.write(QStringLiteral("#!/bin/sh\nPATH=/usr/bin:/bin\necho \"$$ $*\" > '%1.tmp' && mv '%1.tmp' '%1'\n"
                                        "exec timeout 30 head -n 1 '%2' > /dev/null\n")
                             .arg(dir.filePath("called"), Gate())
                             .toUtf8());
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        path_.Set("PATH", bin.toUtf8());
    }
    ~OwnSystemctl() {
        OpenGate();
    }
    QString Gate() const { return dir_.filePath("gate"); }
    // "PID ARGUMENTS" once it has been called, else empty.
    QString Called() const {
        QFile called(dir_.filePath("called"));
        return called.open(QIODevice::ReadOnly) ? QString::fromUtf8(called.readAll()).trimmed() : QString();
    }
    pid_t Pid() const { return Called().section(u' ', 0, 0).toInt(); }
    // Lets a systemctl that has been called end; waits (10 s at most) until it is at its
    // gate. Without a call there is nobody to let through.
    void OpenGate() {
        if (gateOpened_ || Called().isEmpty()) return;
        gateOpened_ = true;
        QDeadlineTimer deadline(10000);
        int fd = -1;
        // Not blocking: it fails (ENXIO) until the reader has come to the gate.
        while ((fd = ::open(Gate().toLocal8Bit().constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 &&
               errno == ENXIO && !deadline.hasExpired())
            ::usleep(2000);
        if (fd < 0) return;
        (void)!::write(fd, "\n", 1);
        ::close(fd);
    }

private:
    const QTemporaryDir& dir_;
    ScopedEnvironment path_;  // this systemctl first on the path, for the object's life
    bool gateOpened_ = false;
};

}  // namespace hv::test
