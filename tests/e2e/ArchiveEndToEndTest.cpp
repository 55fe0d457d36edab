// The road of a recording into the video archive: the recorder stand-in records a game in
// growing segment files under two root folders, the referee console stand-in feeds the
// labels, the split commands end the segments, and the frame's update cycle, copy planning
// and copy worker bring every recording into the archive, which ends holding each file
// byte for byte and the game description naming the game.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDirIterator>
#include <QSaveFile>
#include <QThread>
#include <QTimer>

#include "../copy/CopyTestSupport.h"
#include "CompanionProcess.h"
#include "FrameTestSupport.h"
#include "platform/WindowMessages.h"
#include "workflow/SuiteComponents.h"

namespace hv {
namespace {

using test::CompanionProcess;

constexpr int kSplitTimeoutMs = 40000;

const char* kScript = R"({
  "now": "2022-01-20T11:30:00Z",
  "cameras": ["{00000000-0000-0000-0000-000000000001}", "{00000000-0000-0000-0000-000000000002}",
              "{00000000-0000-0000-0000-000000000003}"],
  "periods": [{"start": "2022-01-20T11:05:00Z", "endScore": "1:0"}],
  "events": [{"type": "Гол", "period": 1, "time": "2022-01-20T11:12:30Z", "score": "0:0", "nextScore": "1:0",
              "fromStart": "07:30"}]
})";

FileTime RealUtcNow() {
    return static_cast<FileTime>(116'444'736'000'000'000LL + QDateTime::currentMSecsSinceEpoch() * 10'000LL);
}

bool Await(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

// Every file under `folder`, by its path relative to it.
QStringList FilesUnder(const QString& folder) {
    QStringList files;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}

class ArchiveEndToEndTest : public test::FrameFixture {
protected:
    void SetUp() override {
        FrameFixture::SetUp();
        scopedEnv.Set("ZANDREL_QUEUE_SEND_TIMEOUT_MS", "20000");
        scopedEnv.Set("ZANDREL_QUEUE_LOCAL_TIMEOUT_MS", "20000");
        UseArchiveFolders(rec1, rec2, archive);
        QSaveFile script(root.filePath("game.json"));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(kScript);
        ASSERT_TRUE(script.commit());
        // The frame's clock follows the real one here: the copy worker's waits must pass.
        startMs = QDateTime::currentMSecsSinceEpoch();
        ticker.callOnTimeout([this] {
            clock.tick = 1000 + static_cast<std::uint32_t>(QDateTime::currentMSecsSinceEpoch() - startMs);
            clock.now = RealUtcNow();
        });
        ticker.start(20);
        clock.now = RealUtcNow();
    }

    void TearDown() override {
        FrameFixture::TearDown();
        console.Kill();
        recorder.Kill();
    }

    // The referee console's split, to the recorder and to Halvane.
    void Split(CMainFrame& f, int period) {
        const FileTime at = RealUtcNow();
        const QString text = QString::asprintf("SplitAtTime %d_0x%X_0x%X ", period, LowPart(at), HighPart(at)) + rec1 +
                             "/2022-01-20/11-00/";
        ASSERT_TRUE(f.Link.SendToVortamo(text));
        std::int32_t status = 0, result = 0;
        ASSERT_EQ(splitQueue->Send(status, result, ++sequence, 0, 0, "localhost", "Halvane", "Kestrilo.Command", text),
                  S_OK);
        ASSERT_EQ(status, 1);
        ASSERT_TRUE(Await([&] { return f.RecordingPeriod == period; }, kSplitTimeoutMs))
            << "split " << period << " not completed; recorder: " << recorder.Errors().toStdString();
    }

    QString rec1, rec2, archive;
    qint64 startMs = 0;
    QTimer ticker;
    CompanionProcess console;
    CompanionProcess recorder;
    IMessageQueue* splitQueue = nullptr;
    int sequence = 0;
};

TEST_F(ArchiveEndToEndTest, AGameWithTwoSplitsEndsWholeInTheArchive) {
    ASSERT_TRUE(console.Start("Tamberlo", {"-openlast", "-script", root.filePath("game.json")}, root.filePath("tamberlo")));
    ASSERT_TRUE(console.WaitForLine("ready")) << console.Errors().toStdString();
    ASSERT_TRUE(recorder.Start("Vortamo", {"#1"}, root.filePath("vortamo"),
                               {"VORTAMO_ROOTS=" + rec1 + ";" + rec2, "VORTAMO_CAMERAS=3", "VORTAMO_FIRST_PERIOD=50",
                                "VORTAMO_GROW_BYTES=32768"}));
    ASSERT_TRUE(recorder.WaitForLine("ready")) << recorder.Errors().toStdString();

    // The referee console's commands come from a queue of the test's own.
    IQueueService* service = nullptr;
    ComponentPtr serviceObject = components.CreateFor(kMessageQueueServiceClass, service);
    ASSERT_NE(service, nullptr);
    QObject splitWindow;
    ComponentPtr splitQueueObject;
    std::int32_t status = 0, result = 0;
    ASSERT_EQ(service->CreateQueue(status, result, "RefereeSplits", &splitWindow, kMsgCompanionMessages, 0, 0,
                                   splitQueueObject),
              S_OK);
    splitQueue = QueryInterface<IMessageQueue>(splitQueueObject.get());
    ASSERT_NE(splitQueue, nullptr);

    CMainFrame& f = MakeFrame();
    f.GameFolder = QStringLiteral("2022-01-20\\11-00\\");
    {
        std::lock_guard lock(f.FrameLock);
        f.GameStartLocal = CalendarTime{2022, 1, 20, 11, 0, 0, 0};
    }
    f.AdvancedStart();
    ASSERT_TRUE(f.Link.SendToVortamo("StartRecord 1111111111111111 0 \\2022-01-20\\11-00\\"));
    ASSERT_TRUE(recorder.WaitForLine("command StartRecord 1111111111111111 0 \\2022-01-20\\11-00\\"))
        << recorder.Errors().toStdString();
    Await([] { return false; }, 1000);

    Split(f, 1);
    EXPECT_TRUE(Await([&] { return QFile::exists(archive + "/2022-01-20/11-00/50_1.mp4"); }, 20000))
        << "the segment before the game is archived at its split";
    Split(f, 2);
    EXPECT_TRUE(Await([&] { return QFile::exists(archive + "/2022-01-20/11-00/1.xml"); }, 20000));

    ASSERT_TRUE(f.Link.SendToVortamo("StopRecord"));
    ASSERT_TRUE(recorder.WaitForLine("command StopRecord"));
    // Stop the game: everything of every segment.
    const std::uint32_t now = clock.tick;
    f.FillCopyFiles(f.Settings.DefPeriodNumber, false, now);
    for (int i = 0; i < f.Settings.DefPeriodNumber; ++i) f.FillCopyFiles(i, false, now);
    ASSERT_TRUE(Await([&] { return !f.IsCopyBusy(); }, 60000));

    const QString game = "/2022-01-20/11-00";
    QStringList recorded;
    for (const QString& recRoot : {rec1, rec2})
        for (const QString& file : FilesUnder(recRoot + game)) {
            recorded << file;
            EXPECT_EQ(test::ReadFile(archive + game + "/" + file), test::ReadFile(recRoot + game + "/" + file))
                << file.toStdString();
        }
    recorded.sort();
    EXPECT_EQ(recorded.size(), 12) << "three segments of one description and three videos";
    QStringList archived = recorded;
    archived << "SHA256SUMS";  // the game folder's checksums
    archived.sort();
    EXPECT_EQ(FilesUnder(archive + game), archived);
    // One line per recording copied, each accepted by sha256sum itself (run in the game's
    // folder, where the manifest's names lead).
    test::CompanionProcess check;
    ASSERT_TRUE(check.StartProgram(QStringLiteral("/bin/sh"),
                                   {QStringLiteral("-c"), QStringLiteral("cd \"$1\" && exec sha256sum -c --strict SHA256SUMS"),
                                    QStringLiteral("sh"), archive + game},
                                   root.filePath(QStringLiteral("sha256sum"))));
    EXPECT_EQ(check.WaitForExit(60000), 0) << check.Output().toStdString() << check.Errors().toStdString();
    const QString said = check.Output();
    EXPECT_EQ(said.count(QStringLiteral(": OK\n")), 12) << said.toStdString();
    EXPECT_EQ(test::ReadFile(archive + game + "/SHA256SUMS").count('\n'), 12);
    ASSERT_TRUE(Await([&] { return QFile::exists(archive + "/refresh.csv"); }, 10000));
    EXPECT_TRUE(test::ReadFile(archive + "/refresh.csv").startsWith("2022-01-20-11-00; "));
    EXPECT_TRUE(log.Contains("Was SplitAtTime 50->1 - Start FillCopyFiles for game '2022-01-20\\11-00\\'\n"));
    EXPECT_TRUE(log.Contains("Was SplitAtTime 1->2 - Start FillCopyFiles for game '2022-01-20\\11-00\\'\n"));

    ASSERT_TRUE(f.Link.SendToKestrilo("Exit"));
    ASSERT_TRUE(f.Link.SendToVortamo("Exit"));
    EXPECT_EQ(console.WaitForExit(), 0);
    EXPECT_EQ(recorder.WaitForExit(), 0);
}

}  // namespace
}  // namespace hv
