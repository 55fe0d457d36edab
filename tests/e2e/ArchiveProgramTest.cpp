// The real program and its archive across a crash: Halvane killed with SIGKILL in the
// middle of a copy leaves no partial target, only its unfinished copy under the copy's
// hidden temporary name; started again it resumes the game from the archive's
// description, finds the recording not archived and copies it again whole, taking the
// unfinished copy's place.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include "../copy/CopyTestSupport.h"
#include "../desktop/DesktopSupport.h"
#include "ScopedEnvironment.h"
#include "platform/ComponentFactory.h"
#include "workflow/SuiteComponents.h"

namespace hv {
namespace {

using namespace desktop;

constexpr qint64 kVideoSize = 24 * 1'048'576;

FileTime RealUtcNow() {
    return static_cast<FileTime>(116'444'736'000'000'000LL + QDateTime::currentMSecsSinceEpoch() * 10'000LL);
}

class ArchiveProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(world.IsValid());
        port = FreePort();
        world.SetSetting("Port", port);
        world.SetSetting("CopyToPath", world.Path("archive"));
        world.SetSetting("CopyFromPathList", world.Path("rec"));
        world.SetSetting("CopyRateLimit_MBperSEC", 4);
        // A game under way: its description archived, its first period being recorded.
        test::WriteFile(Rec("1.xml"), 500);
        test::WriteFile(Rec("1_1.mp4"), kVideoSize);
        test::WriteFile(Arch("1.xml"), 500);  // the same content, written later
        QFile csv(world.Path("archive/refresh.csv"));
        ASSERT_TRUE(csv.open(QIODevice::WriteOnly));
        csv.write("2022-01-20-11-00; 2022-01-20-11-01-00\r\n");
        csv.close();
        // The test speaks to Halvane's queue as the referee console does.
        scopedEnv.Set("ZANDREL_QUEUE_SCOPE", world.Environment().value("ZANDREL_QUEUE_SCOPE").toUtf8());
        scopedEnv.Set("XDG_RUNTIME_DIR", world.Environment().value("XDG_RUNTIME_DIR").toUtf8());
        serviceObject = components.CreateFor(kMessageQueueServiceClass, service);
        ASSERT_NE(service, nullptr);
        std::int32_t status = 0, result = 0;
        ASSERT_EQ(service->CreateQueue(status, result, "Kestrilo", &window, 0x47B, 0, 0, queueObject), S_OK);
        queue = QueryInterface<IMessageQueue>(queueObject.get());
        ASSERT_NE(queue, nullptr);
    }

    QString Rec(const QString& name) const { return world.Path("rec/2022-01-20/11-00/" + name); }
    QString Arch(const QString& name) const { return world.Path("archive/2022-01-20/11-00/" + name); }
    // Where a copy of `name` is written until it is complete.
    QString Unfinished(const QString& name) const { return Arch("." + name + ".halvane-copy"); }

    bool StartHalvane(Child& halvane) {
        if (!halvane.Start(world.Program(), {}, world.Environment())) return false;
        return WaitUntil([&] { return !halvane.Running() || !AskCrestron(port, "C0601\n").empty(); }) &&
               halvane.Running();
    }

    // The split that ends the recording's current segment and starts `period`.
    void Split(int period) {
        const FileTime at = RealUtcNow();
        std::int32_t status = 0, result = 0;
        ASSERT_EQ(queue->Send(status, result, period, 0, 0, "localhost", "Halvane", "Kestrilo.Command",
                              QString::asprintf("SplitAtTime %d_0x%X_0x%X", period, LowPart(at), HighPart(at))),
                  S_OK);
        ASSERT_EQ(status, 1);
    }

    World world{QStringLiteral("archive-crash")};
    test::ScopedEnvironment scopedEnv;
    std::uint16_t port = 0;
    ComponentFactory components{ComponentFactory::DefaultDirectory()};
    IQueueService* service = nullptr;
    ComponentPtr serviceObject;
    QObject window;
    ComponentPtr queueObject;
    IMessageQueue* queue = nullptr;
};

TEST_F(ArchiveProgramTest, ACopyCutByAKillLeavesNoPartialTargetAndIsCopiedAgainWhole) {
    {
        Child halvane;
        ASSERT_TRUE(StartHalvane(halvane)) << halvane.ErrorText().toStdString();
        Split(2);
        // Ten seconds after the split the first period is planned; the worker is then well
        // into the 24 MiB at 4 MiB/s when it is killed.
        ASSERT_TRUE(WaitUntil([&] { return QFileInfo(Unfinished("1_1.mp4")).size() >= 4 * 1'048'576; }, 40000))
            << world.LogText().toStdString();
        halvane.KillHard();
    }
    EXPECT_FALSE(QFile::exists(Arch("1_1.mp4"))) << "the archive never shows half a copy";
    EXPECT_LT(QFileInfo(Unfinished("1_1.mp4")).size(), kVideoSize);
    EXPECT_TRUE(QFile::exists(Rec("1_1.mp4")));

    Child again;
    ASSERT_TRUE(StartHalvane(again)) << again.ErrorText().toStdString();
    Split(3);
    ASSERT_TRUE(WaitUntil([&] { return QFileInfo(Arch("1_1.mp4")).size() == kVideoSize; }, 50000))
        << world.LogText().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return world.LogText().contains("Halvane::CopyFile OK : '" + Rec("1_1.mp4")); }));
    EXPECT_EQ(test::ReadFile(Arch("1_1.mp4")), test::ReadFile(Rec("1_1.mp4")));
    EXPECT_FALSE(QFile::exists(Unfinished("1_1.mp4"))) << "the unfinished copy's place was taken";
    EXPECT_TRUE(test::ReadFile(world.Path("archive/refresh.csv")).startsWith("2022-01-20-11-00; "));
}

}  // namespace
}  // namespace hv
