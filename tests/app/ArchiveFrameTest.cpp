// The frame's side of the video archive, with its real copy worker: the status of the
// update cycle, the referee console's split command and its completion, the label-change
// copies, the archive's game description and the game resumed from it, and closing while
// files wait.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <map>
#include <thread>

#include "../copy/CopyTestSupport.h"
#include "FrameTestSupport.h"
#include "Mounts.h"
#include "Requirements.h"
#include "language/Language.h"
#include "platform/FileSystem.h"
#include "platform/WindowMessages.h"
#include "workflow/SuiteComponents.h"

namespace hv {
namespace {

using test::ReadFile;
using test::WaitUntil;
using test::WriteFile;

const QString kGame = QStringLiteral("2022-01-20\\11-00\\");

class ArchiveFrameTest : public test::FrameFixture {
protected:
    void SetUp() override {
        FrameFixture::SetUp();
        UseArchiveFolders(rec1, rec2, archive);
    }

    CMainFrame& MakeGameFrame() {
        CMainFrame& f = MakeFrame();
        f.GameFolder = kGame;
        {
            std::lock_guard lock(f.FrameLock);
            f.GameStartLocal = CalendarTime{2022, 1, 20, 11, 0, 0, 0};
        }
        return f;
    }

    QString Rec(const QString& rest) const { return rec1 + "/2022-01-20/11-00/" + rest; }
    QString Arch(const QString& rest) const { return archive + "/2022-01-20/11-00/" + rest; }

    std::vector<CopyItem> Queued() {
        std::lock_guard lock(frame->FrameLock);
        return {frame->Copies.begin(), frame->Copies.end()};
    }

    void Split(CMainFrame& f, const QString& command) {
        f.Link.PendingCommandSet = true;
        f.Link.PendingCommand = command;
        f.UpdateTheGame();
    }

    static QString SplitText(std::int32_t period, FileTime at, const QString& path = {}) {
        QString text = QString::asprintf("SplitAtTime %d_0x%X_0x%X", period, LowPart(at), HighPart(at));
        if (!path.isEmpty()) text += u' ' + path;
        return text;
    }

    // The planning of Stop the game: every recording of every period, due at once.
    static void PlanStopTheGame(CMainFrame& f, std::uint32_t now) {
        CopyPlanner::Batch batch;
        f.FillCopyFiles(batch, f.Settings.DefPeriodNumber, false, now);
        for (std::int32_t period = 0; period < f.Settings.DefPeriodNumber; ++period)
            f.FillCopyFiles(batch, period, false, now);
    }

    // A game's recordings in both recorder folders, by path, with their content.
    std::map<QString, QByteArray> RecordGame(qint64 videoSize) {
        std::map<QString, QByteArray> recorded;
        int seed = 0;
        for (const QString& path : {Rec("50.xml"), Rec("50_1.mp4"), Rec("1.xml"), Rec("1_1.mp4"), Rec("cam2/1_2.mp4"),
                                    rec2 + "/2022-01-20/11-00/1_3.mp4", Rec("2.xml"), Rec("2_1.mp4"),
                                    rec2 + "/2022-01-20/11-00/cam4/2_4.mp4"}) {
            WriteFile(path, path.endsWith(".xml") ? 700 : videoSize, ++seed);
            recorded[path] = ReadFile(path);
        }
        return recorded;
    }

    // Where a recording lands in the archive.
    QString ArchiveOf(const QString& recording) const {
        const QString game = "/2022-01-20/11-00/";
        return archive + game + recording.mid(recording.indexOf(game) + game.size());
    }

    QString rec1, rec2, archive;
};

TEST_F(ArchiveFrameTest, TheStatusFollowsTheGameThePortThePlayerAndTheCopies) {
    CMainFrame& f = MakeFrame();
    ASSERT_TRUE(f.Player.HasComponent());
    const struct {
        bool game;
        bool execution;
        bool pending;
        int status;
    } cases[] = {
        {false, true, true, 0}, {true, false, false, 4}, {true, true, false, 5},
        {true, false, true, 6}, {true, true, true, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        f.GameFolder = c.game ? kGame : QString();
        f.ExecutionEnabled = c.execution;
        f.Link.PollingEnabled = false;
        {
            std::lock_guard lock(f.FrameLock);
            f.Copies.clear();
            // Not due for a minute: the worker keeps it waiting in the list.
            if (c.pending) f.Copies.push_back(CopyItem{"src", "tgt", clock.tick + 60'000});
        }
        f.UpdateTheGame();
        EXPECT_EQ(f.CurrentStatus, c.status);
        if (c.status < 6) {
            EXPECT_EQ(tray.tooltip, LoadStringOrMark(c.status == 0 ? 501 : c.status == 4 ? 507 : 508));
        }
    }
    // The copy progress in the tooltip, refreshed on every tick.
    {
        std::lock_guard lock(f.FrameLock);
        f.CurrentCopyFile = archive + "/2022-01-20/11-00/cam1/1_1.mp4";
    }
    f.CopyPercent = 42;
    f.UpdateTheGame();
    EXPECT_EQ(tray.tooltip, "Halvane\nCopy files (Running)\r\n42% " + archive + "/2022-01-20/11-00/cam1/1_1.mp4");
    f.ExecutionEnabled = false;
    f.CopyPercent = 43;
    f.UpdateTheGame();
    EXPECT_EQ(tray.tooltip.left(40), QString("Halvane\nCopy files (Stopped)\r\n43% " + archive).left(40));

    f.Port.ClosePort();
    f.UpdateTheGame();
    EXPECT_EQ(f.CurrentStatus, 8);
    {
        std::lock_guard lock(f.FrameLock);
        f.Copies.clear();
        f.CurrentCopyFile.clear();
    }
}

TEST_F(ArchiveFrameTest, ASplitSetsThePeriodTheGameFolderAndTheTimerFromItsTime) {
    CMainFrame& f = MakeGameFrame();
    clock.SetUtc(2022, 1, 20, 12, 0, 0);
    const FileTime now = clock.now;
    const struct {
        std::int64_t aheadSeconds;
        int timerMs;
    } cases[] = {{5, 15'000}, {-30, 10'000}, {60, 20'000}, {0, 10'000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.aheadSeconds);
        f.GameFolder = kGame;
        Split(f, SplitText(2, now + c.aheadSeconds * kFileTimeUnitsPerSecond, rec2 + "/2022-01-21/09-15/"));
        EXPECT_EQ(f.SplitPeriod, 2);
        EXPECT_EQ(f.GameFolder, "2022-01-21\\09-15\\");
        EXPECT_EQ(f.SplitTimer, CMainFrame::kSplitTimerId);
        EXPECT_EQ(f.TimerPeriodMs(CMainFrame::kSplitTimerId), c.timerMs);
    }

    // Without a path, or with one outside the roots: the folder stays, the rest is done.
    f.GameFolder = kGame;
    Split(f, SplitText(3, now));
    EXPECT_EQ(f.SplitPeriod, 3);
    EXPECT_EQ(f.GameFolder, kGame);
    Split(f, SplitText(4, now, rec2 + "2/2022-01-21/09-15/"));
    Split(f, SplitText(4, now, rec2 + "/../elsewhere/"));
    EXPECT_EQ(f.SplitPeriod, 4);
    EXPECT_EQ(f.GameFolder, kGame);
}

TEST_F(ArchiveFrameTest, CommandsThatAreDropped) {
    CMainFrame& f = MakeGameFrame();
    const FileTime now = clock.now;
    for (const QString& command : {SplitText(5, now).toLower(), QString("Exit"), QString("SplitAtTime 1000_0x0_0x0"),
                                   QString("SplitAtTime 5_0x0")}) {
        SCOPED_TRACE(command.toStdString());
        Split(f, command);
        EXPECT_FALSE(f.Link.PendingCommandSet);
        EXPECT_EQ(f.SplitPeriod, 0);
        EXPECT_FALSE(f.HasTimer(CMainFrame::kSplitTimerId));
    }
    // After Archive the game there is no game: a late split starts nothing.
    f.GameFolder.clear();
    Split(f, SplitText(5, now, rec1 + "/2022-01-20/11-00/"));
    EXPECT_FALSE(f.HasTimer(CMainFrame::kSplitTimerId));
    EXPECT_TRUE(f.GameFolder.isEmpty());
}

TEST_F(ArchiveFrameTest, AnExitFromTheConsoleNeverTakesThePlaceOfAWaitingSplit) {
    CMainFrame& f = MakeGameFrame();
    IQueueService* service = nullptr;
    ComponentPtr serviceObject = components.CreateFor(kMessageQueueServiceClass, service);
    ASSERT_NE(service, nullptr);
    QObject consoleWindow;
    ComponentPtr queueObject;
    std::int32_t status = 0, result = 0;
    ASSERT_EQ(service->CreateQueue(status, result, "Kestrilo", &consoleWindow, kMsgCompanionMessages, 0, 0, queueObject),
              S_OK);
    IMessageQueue* console = QueryInterface<IMessageQueue>(queueObject.get());
    ASSERT_NE(console, nullptr);
    const QString split = SplitText(2, clock.now);
    for (const QString& text : {split, QString("Exit")}) {
        ASSERT_EQ(console->Send(status, result, 1, 0, 0, "localhost", "Halvane", "Kestrilo.Command", text), S_OK);
        ASSERT_TRUE(WaitUntil([&] { return f.Link.PendingCommandSet; }));
    }
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("Halvane::Kestrilo_Exit_Command=Exit\n"); }));
    EXPECT_EQ(f.Link.PendingCommand, split);
    f.UpdateTheGame();
    EXPECT_EQ(f.SplitPeriod, 2);
}

TEST_F(ArchiveFrameTest, CompletingASplitArchivesTheFinishedSegmentAndTheDescriptions) {
    Store("DeleteCopiedFiles", true);
    for (const char* name : {"50.xml", "50_1.mp4", "0.xml", "1.xml", "1_1.mp4", "2.xml", "2_1.mp4", "cam2/2_2.mp4",
                             "3.xml", "-2_1.mp4"})
        WriteFile(Rec(name), 1000);
    CMainFrame& f = MakeGameFrame();
    f.RecordingPeriod = -2;
    f.SplitPeriod = 2;
    f.Game.LabelsChanged = true;
    f.SetTimer(CMainFrame::kSplitTimerId, 60'000);
    f.SplitTimer = CMainFrame::kSplitTimerId;
    f.CompleteSplit();
    EXPECT_TRUE(log.Contains("Was SplitAtTime -2->2 - Start FillCopyFiles for game '2022-01-20\\11-00\\'\n"));
    EXPECT_FALSE(f.HasTimer(CMainFrame::kSplitTimerId));
    EXPECT_EQ(f.SplitTimer, 0);
    EXPECT_EQ(f.RecordingPeriod, 2);
    EXPECT_FALSE(f.Game.LabelsChanged);
    EXPECT_FALSE(QFile::exists(Rec("-2_1.mp4"))) << "a segment that is not archived is deleted";
    ASSERT_TRUE(WaitUntil([&] { return !f.IsCopyBusy(); }));
    for (const char* name : {"50.xml", "0.xml", "1.xml"}) EXPECT_TRUE(QFile::exists(Arch(name))) << name;
    for (const char* name : {"50_1.mp4", "1_1.mp4", "2.xml", "2_1.mp4"}) EXPECT_FALSE(QFile::exists(Arch(name))) << name;

    // The next split: the descriptions again (already there), and all of period 2.
    f.SplitPeriod = 3;
    f.CompleteSplit();
    ASSERT_TRUE(WaitUntil([&] { return !f.IsCopyBusy(); }));
    for (const char* name : {"2.xml", "2_1.mp4", "cam2/2_2.mp4"}) EXPECT_TRUE(QFile::exists(Arch(name))) << name;
    EXPECT_FALSE(QFile::exists(Rec("2_1.mp4"))) << "copied sources are deleted when asked";
    EXPECT_FALSE(QFile::exists(Arch("3.xml")));
    EXPECT_EQ(f.RecordingPeriod, 3);
    // The batch ends with the archive's description of the game.
    ASSERT_TRUE(WaitUntil([&] { return QFile::exists(archive + "/refresh.csv"); }, 5000));
    EXPECT_TRUE(ReadFile(archive + "/refresh.csv").startsWith("2022-01-20-11-00; "));

    // Without a game nothing is planned.
    f.GameFolder.clear();
    f.RecordingPeriod = 3;
    f.SplitPeriod = 4;
    f.CompleteSplit();
    EXPECT_FALSE(f.IsCopyPending());
    EXPECT_EQ(f.RecordingPeriod, 4);
}

TEST_F(ArchiveFrameTest, ALabelChangeCopiesTheDescriptionsOnlyDuringTheGame) {
    for (const char* name : {"50.xml", "0.xml", "1.xml", "1_1.mp4", "2.xml"}) WriteFile(Rec(name), 100);
    CMainFrame& f = MakeGameFrame();
    f.RecordingPeriod = 50;  // the recording before the game
    f.Game.LabelsChanged = true;
    f.UpdateTheGame();
    EXPECT_TRUE(f.Game.LabelsChanged);
    EXPECT_FALSE(f.IsCopyPending());

    f.RecordingPeriod = 1;
    f.UpdateTheGame();
    EXPECT_TRUE(log.Contains("UpdateTheGame - Event list was changed - Start FillCopyFiles for game "
                             "'2022-01-20\\11-00\\'\n"));
    EXPECT_FALSE(f.Game.LabelsChanged);
    std::vector<QString> sources;
    for (const CopyItem& item : Queued()) {
        sources.push_back(QFile::decodeName(item.Source));
        EXPECT_EQ(item.NotBefore, clock.tick + 1000);
    }
    EXPECT_EQ(sources, (std::vector<QString>{Rec("50.xml"), Rec("0.xml"), Rec("1.xml")}));

    // While copies wait, a further change waits too.
    f.Game.LabelsChanged = true;
    f.UpdateTheGame();
    EXPECT_TRUE(f.Game.LabelsChanged);
    clock.tick += 1000;
    ASSERT_TRUE(WaitUntil([&] { return !f.IsCopyBusy(); }));
    EXPECT_TRUE(QFile::exists(Arch("1.xml")));
}

TEST_F(ArchiveFrameTest, TheGameNamedByTheArchiveIsResumedAtCreation) {
    WriteFile(archive + "/2022-01-20/13-46/1.xml", 10);
    WriteFile(archive + "/2022-01-20/13-46/2.xml", 10);
    WriteFile(archive + "/2022-01-20/13-46/4.xml", 10);
    QFile csv(archive + "/refresh.csv");
    ASSERT_TRUE(csv.open(QIODevice::WriteOnly));
    csv.write("2022-01-20-13-46; 2022-01-20-14-05-09\r\n");
    csv.close();
    CMainFrame& f = MakeFrame();
    EXPECT_EQ(f.GameFolder, "2022-01-20\\13-46\\");
    EXPECT_EQ(f.RecordingPeriod, 2);
    EXPECT_EQ(f.GameStartLocal, (CalendarTime{2022, 1, 20, 13, 46, 0, 0}));
    EXPECT_EQ(f.Game.GetSnapshot().GameStart, test::At(2022, 1, 20, 13, 46));
    EXPECT_TRUE(f.ExecutionEnabled);
    EXPECT_TRUE(f.Link.PollingEnabled);
    EXPECT_EQ(f.Settings.CopyToPath, archive + "/");
}

TEST_F(ArchiveFrameTest, FourNumbersResumeNothing) {
    QFile csv(archive + "/refresh.csv");
    ASSERT_TRUE(csv.open(QIODevice::WriteOnly));
    csv.write("2022-01-20-13; 2022-01-20-14-05-09\r\n");
    csv.close();
    CMainFrame& f = MakeFrame();
    EXPECT_TRUE(f.GameFolder.isEmpty());
    EXPECT_EQ(f.RecordingPeriod, 50);
    EXPECT_FALSE(f.ExecutionEnabled);
    EXPECT_FALSE(f.Link.PollingEnabled);
}

TEST_F(ArchiveFrameTest, WritingTheDescriptionAndItsFailures) {
    clock.SetUtc(2022, 1, 20, 14, 5, 9);
    CMainFrame& f = MakeGameFrame();
    {
        std::lock_guard lock(f.FrameLock);
        f.GameStartLocal = CalendarTime{2022, 1, 20, 13, 46, 0, 0};
    }
    EXPECT_TRUE(f.WriteArchiveRefresh(&boxes));
    EXPECT_EQ(ReadFile(archive + "/refresh.csv"), "2022-01-20-13-46; 2022-01-20-14-05-09\r\n");
    EXPECT_TRUE(boxes.shown.empty());

    // A reader holds the file: about a second of attempts, then message 542 (owner only).
    const int reader = ::open(fs::Encode(archive + "/refresh.csv").constData(), O_RDONLY);
    ASSERT_EQ(::flock(reader, LOCK_SH), 0);
    EXPECT_FALSE(f.WriteArchiveRefresh(nullptr));
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_FALSE(f.WriteArchiveRefresh(&boxes));
    ::close(reader);
    ASSERT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(boxes.shown[0], QString("Can't move file\n%1/refresh.tmp\nto file %1/refresh.csv\nError = %2.")
                                  .arg(archive)
                                  .arg(EWOULDBLOCK));
    EXPECT_EQ(boxes.icons[0], BoxIcon::Warning);

    // The tmp file cannot be made: a log line, message 541 with an owner, the old file kept.
    QFile::remove(archive + "/refresh.tmp");
    QDir().mkpath(archive + "/refresh.tmp");
    EXPECT_FALSE(f.WriteArchiveRefresh(&boxes));
    EXPECT_TRUE(log.Contains("Can't create tmp file with game info for Video_Archive '" + archive.toStdString() +
                             "/refresh.tmp'!\n"));
    ASSERT_EQ(boxes.shown.size(), 2U);
    EXPECT_EQ(boxes.shown[1], QString("Can't open file:\n%1/refresh.tmp\nError = %2.").arg(archive).arg(EISDIR));
    EXPECT_EQ(ReadFile(archive + "/refresh.csv"), "2022-01-20-13-46; 2022-01-20-14-05-09\r\n");

    // The worker writes nothing while there is no game.
    {
        std::lock_guard lock(f.FrameLock);
        f.GameStartLocal = CalendarTime{};
    }
    QDir(archive + "/refresh.tmp").removeRecursively();
    EXPECT_FALSE(f.WriteArchiveRefresh(nullptr, true));
    EXPECT_EQ(ReadFile(archive + "/refresh.csv"), "2022-01-20-13-46; 2022-01-20-14-05-09\r\n");
}

// A language file is anyone's to edit: its texts for the description's failures are
// filled field by field, never read as printf formats.
TEST_F(ArchiveFrameTest, AHostileTranslationOfTheDescriptionMessagesIsShownAsText) {
    QTemporaryDir languages;
    ASSERT_TRUE(languages.isValid());
    QFile file(languages.filePath("Halvane_0x0419.lng"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[strings]\n541=%n%s%s%s%s%x%p %d\n542=%d%d%d%d %.999999f %s\n");
    file.close();
    UiLanguage::Instance().Init(languages.path(), QStringLiteral("Halvane"));
    ASSERT_TRUE(UiLanguage::Instance().SetLanguage(kRussianLanguageId));
    struct Restore {
        ~Restore() { UiLanguage::Instance().Init(QString(), QStringLiteral("Halvane")); }
    } restore;

    CMainFrame& f = MakeGameFrame();
    const QString tmp = archive + "/refresh.tmp";
    const QString csv = archive + "/refresh.csv";
    QDir().mkpath(tmp);
    EXPECT_FALSE(f.WriteArchiveRefresh(&boxes));
    QDir(tmp).removeRecursively();
    ASSERT_TRUE(f.WriteArchiveRefresh(&boxes));
    const int reader = ::open(fs::Encode(csv).constData(), O_RDONLY);
    ASSERT_EQ(::flock(reader, LOCK_SH), 0);
    EXPECT_FALSE(f.WriteArchiveRefresh(&boxes));
    ::close(reader);

    ASSERT_EQ(boxes.shown.size(), 2U);
    EXPECT_EQ(boxes.shown[0], QString("%n%1%2%s%s%x%p %d").arg(tmp).arg(EISDIR));
    EXPECT_EQ(boxes.shown[1], QString("%1%2%3%d %.999999f %s").arg(tmp, csv).arg(EWOULDBLOCK));
}

// The worker rewrites the description after its copies while the GUI thread starts new
// games and writes it too: the writes never run into each other, and once the GUI
// thread's write has returned the description names the game it set, whatever the
// worker wrote before (a worker write that read the older game is never the later one).
TEST_F(ArchiveFrameTest, TheWorkersAndTheGuiThreadsDescriptionWritesNeverMix) {
    CMainFrame& f = MakeGameFrame();
    const QString csv = archive + "/refresh.csv";
    std::atomic<bool> done{false};
    std::atomic<int> workerFailures{0}, workerWrites{0};
    std::thread worker([&] {
        while (!done) {
            if (!f.WriteArchiveRefresh(nullptr, true)) ++workerFailures;
            ++workerWrites;
        }
    });
    for (int minute = 0; minute < 60; ++minute) {
        {
            std::lock_guard lock(f.FrameLock);
            f.GameStartLocal = CalendarTime{2022, 1, 20, 12, minute, 0, 0};
        }
        ASSERT_TRUE(f.WriteArchiveRefresh(&boxes)) << minute;
        const QByteArray expected = QString::asprintf("2022-01-20-12-%02d; ", minute).toLatin1();
        EXPECT_TRUE(ReadFile(csv).startsWith(expected)) << ReadFile(csv).toStdString() << " after game minute " << minute;
    }
    done = true;
    worker.join();
    EXPECT_EQ(workerFailures, 0) << log.Text();
    EXPECT_GT(workerWrites, 0);
    EXPECT_TRUE(boxes.shown.empty());
}

// The settings dialog's values applied again and again while the worker copies a large
// file under a rate limit, with the copy status shown on every round: the worker reads
// the copy settings as the GUI thread changes them (for the thread sanitizer), and the
// file still arrives whole.
TEST_F(ArchiveFrameTest, SettingsAppliedDuringACopyReachTheWorkerWithoutARace) {
    CMainFrame& f = MakeGameFrame();
    f.ExecutionEnabled = false;
    f.Link.PollingEnabled = false;
    // Two files: the status (and with it the copy progress) shows while one still waits.
    const QStringList names = {"1_1.mp4", "1_2.mp4"};
    std::vector<QByteArray> contents;
    for (const QString& name : names) {
        WriteFile(Rec(name), 4 * 1'048'576, static_cast<int>(contents.size()) + 3);
        contents.push_back(ReadFile(Rec(name)));
    }
    SettingsDlgValues values = SettingsDlgValues::From(f.Settings);
    values.CopyToPath = archive;
    values.CopyRateLimit_MBperSEC = 4;
    f.ApplySettings(values);
    {
        std::lock_guard lock(f.FrameLock);
        for (const QString& name : names)
            f.Copies.push_back(CopyItem{fs::Encode(Rec(name)), fs::Encode(Arch(name)), clock.tick, f.CopyRoot});
    }
    int rounds = 0;
    bool progressShown = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (f.IsCopyBusy() && std::chrono::steady_clock::now() < deadline) {
        values.CopyRateLimit_MBperSEC = 3 + rounds % 5;
        values.DefPeriodNumber = rounds % 3;
        values.CopyFromPathList = rounds % 2 == 0 ? rec1 + ";" + rec2 : rec1;
        f.ApplySettings(values);
        f.UpdateTheGame();
        progressShown = progressShown || tray.tooltip.contains(QStringLiteral("% ") + Arch(names[0]));
        ++rounds;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(f.IsCopyBusy()) << "the copies did not end in time";
    EXPECT_GT(rounds, 10);
    EXPECT_TRUE(progressShown) << "the copy status was shown during the copy";
    for (std::size_t i = 0; i < contents.size(); ++i) EXPECT_EQ(ReadFile(Arch(names[i])), contents[i]);
    EXPECT_TRUE(boxes.shown.empty());
}

// The archive is a share mounted at the root (here a tmpfs, mounted again at the root the way
// a network share is). It drops in the middle of a game's copies, with the sources deleted
// after copying: nothing lands on the local disk (no game folder, no "refresh.csv"), no
// source is deleted that is not in the archive whole, and once the share is back the next
// planning (Stop the game) brings every recording to the archive whole. The same when the
// root is removed and made again as a plain folder on the local disk meanwhile.
TEST_F(ArchiveFrameTest, AnArchiveThatDropsDuringAGamesCopiesGetsNothingAndTheWholeGameWhenBack) {
    HV_NEEDS(test::Root("mounts file systems of its own"));
    for (const bool madeAgain : {false, true}) {
        SCOPED_TRACE(madeAgain ? "the root made again as a plain folder" : "the share unmounted");
        const QString share = root.filePath(madeAgain ? "share2" : "share1");
        test::MountGuard shareStore, archiveMount;
        ASSERT_TRUE(shareStore.MountTmpfs(share, "size=128m")) << shareStore.Error();
        ASSERT_TRUE(archiveMount.MountBind(share, archive)) << archiveMount.Error();
        Store("DeleteCopiedFiles", true);
        Store("CopyRateLimit_MBperSEC", 10);
        const std::map<QString, QByteArray> recorded = RecordGame(4 * 1'048'576);
        CMainFrame& f = MakeGameFrame();
        ASSERT_TRUE(f.CopyRoot.MountPoint());
        log.Clear();

        PlanStopTheGame(f, clock.tick);
        // Some recordings archived, one being copied: the share drops.
        ASSERT_TRUE(WaitUntil([&] {
            std::lock_guard lock(f.FrameLock);
            return log.Contains("Halvane::CopyFile OK") && !f.CurrentCopyFile.isEmpty() && f.CopyPercent > 0;
        }));
        archiveMount.Unmount();
        if (madeAgain) {
            ASSERT_TRUE(QDir().rmdir(archive));
            ASSERT_TRUE(QDir().mkdir(archive));
        }
        ASSERT_TRUE(WaitUntil([&] { return !f.IsCopyBusy(); }, 30000));
        // The worker's description after its copies has nowhere to go either.
        EXPECT_TRUE(WaitUntil([&] { return log.Contains("Can't create tmp file with game info for Video_Archive"); }));
        EXPECT_TRUE(log.Contains("Halvane::CopyFile ERROR=19. : check access to root '" + archive.toStdString() + "/'\n"))
            << log.Text();
        PlanStopTheGame(f, clock.tick);  // planning while the share is away
        EXPECT_FALSE(f.IsCopyPending());
        EXPECT_TRUE(test::EntriesOf(archive).isEmpty()) << "nothing on the local disk";
        int kept = 0;
        for (const auto& [path, content] : recorded) {
            if (QFile::exists(path))
                ++kept;
            else
                EXPECT_EQ(ReadFile(share + ArchiveOf(path).mid(archive.size())), content)
                    << "deleted only once archived whole: " << path.toStdString();
        }
        EXPECT_GT(kept, 0) << "the copies after the drop deleted nothing";

        // The share is back: the next planning brings the whole game.
        ASSERT_TRUE(archiveMount.MountBind(share, archive)) << archiveMount.Error();
        PlanStopTheGame(f, clock.tick);
        ASSERT_TRUE(WaitUntil([&] { return !f.IsCopyBusy(); }, 60000));
        for (const auto& [path, content] : recorded)
            EXPECT_EQ(ReadFile(ArchiveOf(path)), content) << path.toStdString();
        EXPECT_TRUE(WaitUntil([&] { return QFile::exists(archive + "/refresh.csv"); }));
        frame.reset();
        for (const QString& folder : {rec1, rec2}) QDir(folder + "/2022-01-20").removeRecursively();
    }
}

// The archive is a share that is not mounted yet when Halvane starts: its mount point is an
// empty folder on the local disk. Listed in the mount table, the root counts as not found:
// the planning makes nothing there and no recording is deleted; once the share is mounted
// the next planning brings the game onto it. Not listed (mounted by hand), the folder is
// taken for the archive, and the share mounted over it later becomes the archive at the
// next planning, or when the settings are applied again: it never refuses copies for good.
TEST_F(ArchiveFrameTest, AShareMountedAfterTheStartBecomesTheArchiveAndNothingGoesToItsMountPoint) {
    HV_NEEDS(test::Root("mounts file systems of its own"));
    const struct {
        const char* what;
        bool listed;           // in the mount table
        bool plannedBefore;    // Stop the game planned while the share is away
        bool settingsApplied;  // the settings applied again once the share is there
    } cases[] = {
        {"listed, planned before the mount", true, true, false},
        {"mounted by hand, the next planning", false, false, false},
        {"mounted by hand, the settings applied again", false, false, true},
    };
    Store("DeleteCopiedFiles", true);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QFile table(MountTable());
        ASSERT_TRUE(table.open(QIODevice::WriteOnly | QIODevice::Truncate));
        if (c.listed) table.write("//nas/video " + QFile::encodeName(archive) + " cifs credentials=/etc/nas 0 0\n");
        table.close();
        const std::map<QString, QByteArray> recorded = RecordGame(100'000);
        CMainFrame& f = MakeGameFrame();
        EXPECT_EQ(f.CopyRoot.Found(), !c.listed);
        EXPECT_FALSE(f.CopyRoot.MountPoint());
        if (c.plannedBefore) {
            PlanStopTheGame(f, clock.tick);
            EXPECT_FALSE(f.IsCopyPending());
            EXPECT_FALSE(f.WriteArchiveRefresh(nullptr, true));
            EXPECT_TRUE(test::EntriesOf(archive).isEmpty()) << "nothing on the local disk";
            for (const auto& [path, content] : recorded) EXPECT_TRUE(QFile::exists(path)) << path.toStdString();
        }

        test::MountGuard share;
        ASSERT_TRUE(share.MountTmpfs(archive, "size=16m")) << share.Error();
        if (c.settingsApplied) {
            f.ApplySettings(SettingsDlgValues::From(f.Settings));
            std::lock_guard lock(f.FrameLock);
            EXPECT_TRUE(f.CopyRoot.MountPoint()) << "recorded anew as the share";
        }
        PlanStopTheGame(f, clock.tick);
        ASSERT_TRUE(WaitUntil([&] { return !f.IsCopyBusy(); }, 30000));
        for (const auto& [path, content] : recorded) {
            EXPECT_EQ(ReadFile(ArchiveOf(path)), content) << path.toStdString();
            EXPECT_FALSE(QFile::exists(path)) << "deleted once archived: " << path.toStdString();
        }
        EXPECT_TRUE(WaitUntil([&] { return QFile::exists(archive + "/refresh.csv"); }));
        EXPECT_FALSE(log.Contains("check access to root")) << log.Text();
        frame.reset();
        share.Unmount();
        EXPECT_TRUE(test::EntriesOf(archive).isEmpty()) << "everything went onto the share";
        log.Clear();
    }
}

// "To:" changed in the settings while copies wait: the copies planned for the old root are
// not made (nothing is created under it, whether it is still there or gone), and the next
// planning brings the recordings to the new root.
TEST_F(ArchiveFrameTest, CopiesQueuedBeforeTheArchiveRootChangedCreateNothingUnderTheOldRoot) {
    for (const bool oldRootRemoved : {false, true}) {
        SCOPED_TRACE(oldRootRemoved ? "the old root removed" : "the old root still there");
        const QString newRoot = root.filePath(oldRootRemoved ? "archive3" : "archive2");
        QDir().mkpath(newRoot);
        Store("CopyToPath", archive);
        const std::map<QString, QByteArray> recorded = RecordGame(100'000);
        CMainFrame& f = MakeGameFrame();
        PlanStopTheGame(f, clock.tick + 60'000);  // waiting a minute
        ASSERT_TRUE(f.IsCopyPending());
        const QStringList before = test::EntriesOf(archive + "/2022-01-20/11-00");

        SettingsDlgValues values = SettingsDlgValues::From(f.Settings);
        values.CopyToPath = newRoot;
        f.ApplySettings(values);
        if (oldRootRemoved) {
            ASSERT_TRUE(QDir(archive).removeRecursively());
        }
        clock.tick += 60'000;
        ASSERT_TRUE(WaitUntil([&] { return !f.IsCopyBusy(); }, 30000));
        if (oldRootRemoved) {
            EXPECT_FALSE(QDir(archive).exists()) << "the old root is not made again";
        } else {
            EXPECT_EQ(test::EntriesOf(archive + "/2022-01-20/11-00"), before) << "nothing new under the old root";
        }
        EXPECT_TRUE(test::EntriesOf(newRoot).isEmpty()) << "planned for the old root, not copied to the new one";
        for (const auto& [path, content] : recorded) EXPECT_TRUE(QFile::exists(path));

        PlanStopTheGame(f, clock.tick);
        ASSERT_TRUE(WaitUntil([&] { return !f.IsCopyBusy(); }, 30000));
        for (const auto& [path, content] : recorded)
            EXPECT_EQ(ReadFile(newRoot + ArchiveOf(path).mid(archive.size())), content) << path.toStdString();
        frame.reset();
        QDir().mkpath(archive);
    }
}

// Sets or clears the immutable flag of `folder`: nothing can be made in it, not even by
// root (EPERM), as with a share that refuses writes.
bool SetImmutable(const QString& folder, bool immutable) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = immutable ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return done;
}

// A full archive, and one that cannot be written (here a share gone read-only, and one whose
// folder refuses new files): the tooltip says so while the recording waits, the log says it
// once for the whole wait, and the copy goes through by itself once the archive takes it
// again.
TEST_F(ArchiveFrameTest, AnArchiveThatIsFullOrCannotBeWrittenIsShownUntilTheCopiesGoOnByThemselves) {
    HV_NEEDS(test::Root("mounts file systems of its own"));
    enum class Refusal { None, ReadOnly, NoNewFiles };  // what the share does once the game's folder is made
    const struct {
        const char* what;
        QByteArray size;
        Refusal refusal;
        unsigned text;
        std::string logged;
    } cases[] = {
        {"full", "size=2m", Refusal::None, 554,
         "Halvane::CopyFile ERROR=28. : the video archive '%1/' is full - copying waits for free space\n"},
        {"read-only", "size=16m", Refusal::ReadOnly, 555,
         "Halvane::CopyFile ERROR=30. : the video archive '%1/' cannot be reached - copying waits for it\n"},
        {"refusing writes", "size=16m", Refusal::NoNewFiles, 555,
         "Halvane::CopyFile ERROR=1. : the video archive '%1/' cannot be reached - copying waits for it\n"},
    };
    // A share that refuses a user's writes answers EACCES rather than EPERM (root is never
    // refused here): the same wait.
    EXPECT_EQ(CopyWorker::WaitFor(EACCES), ArchiveWait::Unreachable);
    EXPECT_EQ(LoadStringOrMark(554), "Video archive is full - copying waits for free space");
    EXPECT_EQ(LoadStringOrMark(555), "Video archive cannot be reached - copying waits for it");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::MountGuard share;
        ASSERT_TRUE(share.MountTmpfs(archive, c.size)) << share.Error();
        WriteFile(Rec("1_1.mp4"), 3 * 1'048'576);
        CMainFrame& f = MakeGameFrame();
        log.Clear();
        f.FillCopyFiles(1, false, clock.tick + 60'000);  // the game's folder is made now
        if (c.refusal == Refusal::ReadOnly) {
            ASSERT_TRUE(share.Remount(c.size, true));
        }
        if (c.refusal == Refusal::NoNewFiles) {
            ASSERT_TRUE(SetImmutable(Arch(""), true));
        }
        clock.tick += 60'000;
        const QString waiting = LoadStringOrMark(509) + "\r\n" + LoadStringOrMark(c.text);
        ASSERT_TRUE(WaitUntil([&] {
            f.UpdateTheGame();
            return tray.tooltip == waiting;
        })) << tray.tooltip.toStdString();
        const std::string retry = "Halvane::CopyFile (" + Arch("1_1.mp4").toStdString() + ") ERROR - will copy again later\n";
        EXPECT_GE(log.Count(retry), 1U) << "the first attempt is put back before the wait is shown";
        for (int attempt = 0; attempt < 2; ++attempt) {
            const size_t retries = log.Count(retry);
            clock.tick += 5000;
            ASSERT_TRUE(WaitUntil([&] { return log.Count(retry) > retries; }));
        }
        const std::string logged = QString::fromStdString(c.logged).arg(archive).toStdString();
        EXPECT_EQ(log.Count(logged), 1U) << "once for the wait, not once per attempt\n" << log.Text();
        f.UpdateTheGame();
        EXPECT_EQ(tray.tooltip, waiting);

        if (c.refusal == Refusal::NoNewFiles) {
            ASSERT_TRUE(SetImmutable(Arch(""), false));
        }
        ASSERT_TRUE(share.Remount("size=16m"));
        clock.tick += 5000;
        ASSERT_TRUE(WaitUntil([&] { return !f.IsCopyBusy(); }));
        EXPECT_EQ(ReadFile(Arch("1_1.mp4")), ReadFile(Rec("1_1.mp4")));
        EXPECT_EQ(f.ArchiveWaiting, ArchiveWait::None);
        EXPECT_EQ(log.Count("Halvane::CopyFile : the video archive '" + archive.toStdString() + "/' takes copies again\n"),
                  1U);
        f.UpdateTheGame();
        EXPECT_EQ(f.CurrentStatus, 4) << "copying done";
        frame.reset();
    }
}

TEST_F(ArchiveFrameTest, ClosingWhileFilesWaitAsksFirst) {
    CMainFrame& f = MakeFrame();
    EXPECT_TRUE(f.MayClose());
    {
        std::lock_guard lock(f.FrameLock);
        f.Copies.push_back(CopyItem{"src", "tgt", clock.tick + 60'000});
    }
    boxes.answer = BoxAnswer::No;
    EXPECT_FALSE(f.MayClose());
    ASSERT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(boxes.shown[0], LoadStringOrMark(523));
    boxes.answer = BoxAnswer::Yes;
    EXPECT_TRUE(f.MayClose());
    {
        std::lock_guard lock(f.FrameLock);
        f.Copies.clear();
        f.CurrentCopyFile = "being copied";  // as while the worker copies it
    }
    boxes.answer = BoxAnswer::No;
    EXPECT_FALSE(f.MayClose());
    {
        std::lock_guard lock(f.FrameLock);
        f.CurrentCopyFile.clear();
    }
}

TEST_F(ArchiveFrameTest, HandStoredCopySettingsAreBroughtIntoRange) {
    const struct {
        int rate, period, expectedRate, expectedPeriod;
    } cases[] = {{0, -5, 1, 0}, {500, 5000, 99, 999}, {-3, 50, 1, 50}, {10, 0, 10, 0}};
    for (const auto& c : cases) {
        Store("CopyRateLimit_MBperSEC", c.rate);
        Store("DefPeriodNumber", c.period);
        CMainFrame& f = MakeFrame();
        EXPECT_EQ(f.Settings.CopyRateLimit_MBperSEC, c.expectedRate);
        EXPECT_EQ(f.Settings.DefPeriodNumber, c.expectedPeriod);
        SettingsDlgValues applied = SettingsDlgValues::From(f.Settings);
        applied.CopyRateLimit_MBperSEC = c.rate;
        applied.DefPeriodNumber = c.period;
        applied.CopyToPath = archive;
        f.ApplySettings(applied);
        EXPECT_EQ(f.Settings.CopyRateLimit_MBperSEC, c.expectedRate);
        EXPECT_EQ(f.Settings.DefPeriodNumber, c.expectedPeriod);
        EXPECT_EQ(f.Settings.CopyToPath, archive + "/");
        frame.reset();
    }
}

}  // namespace
}  // namespace hv
