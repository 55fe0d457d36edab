// The single-instance lock between real processes, and against another user.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include "Requirements.h"
#include "OtherUser.h"
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

// The same through a command line that runs it as another user, with its runtime folder.
QString StartHolderAsOtherUser(QProcess& process, const std::string& name, const QString& home, const QString& runtime) {
    const QStringList line = test::AsOtherUser(home, {"XDG_RUNTIME_DIR=" + runtime}, Holder(), {QString::fromStdString(name)});
    process.start(line.value(0), line.mid(1));
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

TEST(SingleInstance, AnotherUserCanNeitherHoldNorBlockThisUsersLock) {
    HV_NEEDS(test::Root("runs programs as another user"));
    QTemporaryDir home(QStringLiteral("/tmp/halvane-other-user-XXXXXX"));
    ASSERT_TRUE(home.isValid());
    for (const QString& folder : {home.path(), home.filePath("runtime")}) ASSERT_TRUE(test::MakeFolderOfOtherUser(folder));
    const std::string name = LockName();

    // The other user's program holds a lock of the same name: its own, in its own folder.
    QProcess theirs;
    EXPECT_EQ(StartHolderAsOtherUser(theirs, name, home.path(), home.filePath("runtime")), "held");
    SingleInstance here(name);
    EXPECT_TRUE(here.Acquire()) << "another user's program does not keep this user's from starting";

    // Pointed at this user's runtime folder, the other user cannot take (or block) the lock there.
    QProcess intruding;
    EXPECT_EQ(StartHolderAsOtherUser(intruding, name, home.path(), qEnvironmentVariable("XDG_RUNTIME_DIR")), "refused");
    ASSERT_TRUE(intruding.waitForFinished(30000));
    here.Release();
    EXPECT_TRUE(here.Acquire());

    theirs.kill();
    ASSERT_TRUE(theirs.waitForFinished(30000));
}

}  // namespace
}  // namespace hv
