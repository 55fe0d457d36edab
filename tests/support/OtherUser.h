#pragma once
// Another user of this computer, for tests of what must stay private to the user who runs
// them: programs are run as "nobody" (65534) through setpriv, with folders of that user's
// own, or a forked child of the test becomes that user. Only root can do that; the test
// scripts run as root, so a test that needs it fails (never skips) elsewhere. And a way to
// read what the children of a test traced.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

namespace hv::test {

constexpr uid_t kOtherUser = 65534;

// `path` made as a folder of the other user that nobody else may enter.
inline bool MakeFolderOfOtherUser(const QString& path) {
    if (!QDir().mkpath(path)) return false;
    const QByteArray name = QFile::encodeName(path);
    return ::chown(name.constData(), kOtherUser, kOtherUser) == 0 && ::chmod(name.constData(), 0700) == 0;
}

// The command line (program first) that runs `program` with `arguments` as the other user,
// without supplementary groups, with the variables of `environment` ("NAME=value") set and
// HOME pointing to `home`.
inline QStringList AsOtherUser(const QString& home, const QStringList& environment, const QString& program,
                               const QStringList& arguments) {
    QStringList line{QStandardPaths::findExecutable(QStringLiteral("setpriv")),
                     QStringLiteral("--reuid"),
                     QString::number(kOtherUser),
                     QStringLiteral("--regid"),
                     QString::number(kOtherUser),
                     QStringLiteral("--clear-groups"),
                     QStringLiteral("--"),
                     QStandardPaths::findExecutable(QStringLiteral("env")),
                     QStringLiteral("HOME=") + home};
    line << environment << program << arguments;
    return line;
}

// In a child just forked by a test: makes it a process of the other user, without
// supplementary groups. False when it could not.
inline bool BecomeOtherUser() {
    return ::setgroups(0, nullptr) == 0 && ::setresgid(kOtherUser, kOtherUser, kOtherUser) == 0 &&
           ::setresuid(kOtherUser, kOtherUser, kOtherUser) == 0;
}

// While it lives, this process's standard error (and so that of the children it starts,
// a relay among them) goes to a file, which tells what they traced.
class ErrorsToFile {
public:
    explicit ErrorsToFile(const QString& path) : path_(path) {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int file = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        ::dup2(file, STDERR_FILENO);
        ::close(file);
    }
    ~ErrorsToFile() {
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    ErrorsToFile(const ErrorsToFile&) = delete;
    ErrorsToFile& operator=(const ErrorsToFile&) = delete;
    QString Text() const {
        QFile file(path_);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    QString path_;
    int saved_ = -1;
};

}  // namespace hv::test
