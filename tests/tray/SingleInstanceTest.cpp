// The single-instance lock between real processes.
#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QDir>
#include <QProcess>

#include "platform/SingleInstance.h"

namespace hv {
namespace {

// A name of this test run only, so that a Halvane running on the machine is not disturbed.
std::string LockName() { return "HalvaneTest." + std::to_string(QCoreApplication::applicationPid()); }

QString Holder() { return QDir(QCoreApplication::applicationDirPath()).filePath("halvane_lock_holder"); }

// Starts the helper and returns its first answer ("held" or "refused").
QString StartHolder(QProcess& process, const std::string& name) {
    process.start(Holder(), {QString::fromStdString(name)});
    if (!process.waitForStarted(30000)) return "not started";
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(30000)) return "no answer";
    }
    return QString::fromUtf8(process.readLine()).trimmed();
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

}  // namespace
}  // namespace hv
