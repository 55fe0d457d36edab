// The single-instance lock between real processes of this user (the real program run as
// another user is tried against it in tests/desktop/DesktopTest.cpp).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include "platform/SingleInstance.h"

namespace hv {
namespace {

// A name of this test run only, so that a Halvane running on the machine is not disturbed.
std::string LockName() { return "HalvaneTest." + std::to_string(QCoreApplication::applicationPid()); }

QString Holder() { return QDir(QCoreApplication::applicationDirPath()).filePath("halvane_lock_holder"); }

// The helper's first answer ("held" or "refused"), once it has started.
QString FirstAnswer(QProcess& process) {
    if (!process.waitForStarted(30000)) return "not started";
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(30000)) return "no answer";
    }
    return QString::fromUtf8(process.readLine()).trimmed();
}

// Starts the helper and returns its first answer.
QString StartHolder(QProcess& process, const std::string& name) {
    process.start(Holder(), {QString::fromStdString(name)});
    return FirstAnswer(process);
}

TEST(SingleInstance, SecondHolderInTheSameProcessIsRefused) {
    SingleInstance first(LockName());
    SingleInstance second(LockName());
    ASSERT_TRUE(first.Acquire());
    EXPECT_TRUE(first.Held());
    EXPECT_FALSE(second.Acquire());
    EXPECT_FALSE(second.Held());
    first.Release();
    EXPECT_TRUE(second.Acquire());

    SingleInstance other(LockName() + ".other");  // another name is another lock
    EXPECT_TRUE(other.Acquire());
}

TEST(SingleInstance, LockDiesWithItsProcess) {
    const std::string name = LockName();
    QProcess first;
    ASSERT_EQ(StartHolder(first, name), "held");

    // Another process and this one are refused while the first lives.
    QProcess second;
    EXPECT_EQ(StartHolder(second, name), "refused");
    ASSERT_TRUE(second.waitForFinished(30000));
    EXPECT_EQ(second.exitCode(), 1);
    SingleInstance here(name);
    EXPECT_FALSE(here.Acquire());

    // Killed without a chance to clean up: the next one gets the lock all the same.
    ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
    ASSERT_TRUE(first.waitForFinished(30000));
    QProcess third;
    EXPECT_EQ(StartHolder(third, name), "held");
    third.kill();
    ASSERT_TRUE(third.waitForFinished(30000));
    EXPECT_TRUE(here.Acquire());
}

TEST(SingleInstance, TheLockIsAFileInTheUsersRuntimeFolder) {
    SingleInstance lock(LockName());
    ASSERT_TRUE(lock.Acquire());
    EXPECT_EQ(QString::fromStdString(lock.Path()),
              qEnvironmentVariable("XDG_RUNTIME_DIR") + u'/' + QString::fromStdString(LockName()).replace(u'.', "%2E") +
                  ".lock");

    // A runtime folder that others may enter is not used: the lock is not taken, and why is said.
    QTemporaryDir open;
    ASSERT_TRUE(open.isValid());
    ASSERT_EQ(::chmod(QFile::encodeName(open.path()).constData(), 0755), 0);
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(open.path()));
    SingleInstance elsewhere(LockName() + ".elsewhere");
    EXPECT_FALSE(elsewhere.Acquire());
    EXPECT_NE(elsewhere.LastError(), 0);
    EXPECT_NE(elsewhere.Problem().find("may be entered by other users"), std::string::npos) << elsewhere.Problem();
    qputenv("XDG_RUNTIME_DIR", runtime);
}

}  // namespace
}  // namespace hv
