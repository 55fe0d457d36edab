// Copy planning over real folder trees: what is queued, in which order, with which
// targets; what is skipped as already archived; what is deleted for negative numbers.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <algorithm>
#include <functional>
#include <mutex>

#include "CopyTestSupport.h"
#include "LogCapture.h"
#include "Mounts.h"
#include "Requirements.h"
#include "copy/ArchiveFolders.h"
#include "copy/ArchiveRoot.h"
#include "copy/CopyPlanning.h"

namespace hv {
namespace {

using test::LastWrite;
using test::SetLastWrite;
using test::WriteFile;

const QString kGame = QStringLiteral("2024-05-17\\19-30\\");
constexpr std::uint32_t kTick = 4242;

class CopyPlanningTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        rec1 = dir.filePath("rec1");
        rec2 = dir.filePath("rec2");
        archive = dir.filePath("archive");
        QDir().mkpath(rec1);
        QDir().mkpath(rec2);
        QDir().mkpath(archive);
        settings.CopyToPath = archive;  // as stored: no separator at the end
        settings.CopyFromPathList = rec1 + ";;" + rec2 + ";";
    }

    QString Rec1(const QString& rest) const { return rec1 + "/2024-05-17/19-30/" + rest; }
    QString Rec2(const QString& rest) const { return rec2 + "/2024-05-17/19-30/" + rest; }
    QString Arch(const QString& rest) const { return archive + "/2024-05-17/19-30/" + rest; }

    // One request into the archive root of the settings as they are now (as if they were
    // taken just before); part of the run `batch` when one is given.
    void Fill(std::int32_t number, bool xmlOnly, const QString& game = kGame, CopyPlanner::Batch* batch = nullptr) {
        const ArchiveRoot root = ArchiveRoot::Record(settings.CopyToPath);
        if (batch != nullptr)
            planner.FillCopyFiles(*batch, root, settings, game, number, xmlOnly, kTick);
        else
            planner.FillCopyFiles(root, settings, game, number, xmlOnly, kTick);
    }

    std::vector<std::pair<QString, QString>> Queued() const {
        std::vector<std::pair<QString, QString>> pairs;
        for (const CopyItem& item : list) pairs.emplace_back(QFile::decodeName(item.Source), QFile::decodeName(item.Target));
        return pairs;
    }

    qsizetype IndexOfSource(const QString& source) const {
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i].Source == fs::Encode(source)) return static_cast<qsizetype>(i);
        return -1;
    }

    QTemporaryDir dir;
    QString rec1, rec2, archive;
    AppSettings settings;
    std::mutex lock;
    CopyList list;
    CopyPlanner planner{lock, list};
    test::LogCapture traces;
};

TEST_F(CopyPlanningTest, WithoutAnArchiveRootNothingIsQueuedAndNoFolderMade) {
    WriteFile(Rec1("3.xml"), 10);
    WriteFile(Rec1("3_1.mp4"), 10);
    settings.CopyToPath.clear();
    for (int number : {0, 3, 50}) Fill(number, false);
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(QDir(archive + "/2024-05-17").exists());
}

TEST_F(CopyPlanningTest, TheFirstRequestMakesTheGamesArchiveFolderEvenWithNothingToCopy) {
    Fill(3, false);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(QDir(archive + "/2024-05-17/19-30").exists());
}

TEST_F(CopyPlanningTest, AnArchiveRootThatIsGoneIsNeverCreated) {
    WriteFile(Rec1("3.xml"), 10);
    settings.CopyToPath = dir.filePath("unmounted/archive");
    Fill(3, false);
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(QDir(dir.filePath("unmounted")).exists());
    EXPECT_TRUE(traces.Contains("Halvane::CheckDir ERROR"));
}

TEST_F(CopyPlanningTest, SubfoldersAreMirroredAndComeFirstDepthFirst) {
    WriteFile(Rec1("3.xml"), 10);
    WriteFile(Rec1("3_9.mp4"), 10);
    WriteFile(Rec1("cam2/3_2.mp4"), 10);
    WriteFile(Rec1("cam1/deep/3_1.mp4"), 10);
    WriteFile(Rec1("cam1/3_7.mp4"), 10);
    Fill(3, false);
    ASSERT_EQ(list.size(), 5U);
    for (const CopyItem& item : list) {
        EXPECT_EQ(item.NotBefore, kTick);
        EXPECT_EQ(item.Target, fs::Encode(archive) + item.Source.mid(fs::Encode(rec1).size()))
            << "the relative folders are kept";
        EXPECT_EQ(item.Root, ArchiveRoot::Record(archive)) << "the root it was planned under";
    }
    // The videos first (deepest folders before their parents), then the description.
    EXPECT_LT(IndexOfSource(Rec1("cam1/deep/3_1.mp4")), IndexOfSource(Rec1("cam1/3_7.mp4")));
    EXPECT_LT(IndexOfSource(Rec1("cam1/3_7.mp4")), IndexOfSource(Rec1("3_9.mp4")));
    EXPECT_LT(IndexOfSource(Rec1("cam2/3_2.mp4")), IndexOfSource(Rec1("3_9.mp4")));
    EXPECT_EQ(list.back().Source, fs::Encode(Rec1("3.xml")));
    EXPECT_EQ(list.back().Target, fs::Encode(Arch("3.xml")));
    EXPECT_FALSE(QDir(Arch("cam1")).exists()) << "target subfolders are made by the worker";
    EXPECT_TRUE(traces.Contains("+++++Halvane::Add2Copy '" + Rec1("cam2/3_2.mp4").toStdString() + "'->'" +
                                Arch("cam2/3_2.mp4").toStdString() + "'\n"));
}

TEST_F(CopyPlanningTest, ThePeriodsNamePatternsAndEmptyFiles) {
    for (const char* name : {"3.xml", "3_1.mp4", "3_.mp4", "13_1.mp4", "3.mp4", "13.xml", "3_1.mp4.part", "30_1.mp4"})
        WriteFile(Rec1(name), 100);
    WriteFile(Rec1("3_2.mp4"), 0);
    WriteFile(Rec1("-1_1.mp4"), 0);
    Fill(3, true);
    EXPECT_EQ(Queued(), (std::vector<std::pair<QString, QString>>{{Rec1("3.xml"), Arch("3.xml")}}));
    list.clear();
    Fill(3, false);
    std::vector<QString> names;
    for (const CopyItem& item : list) names.push_back(QFileInfo(QFile::decodeName(item.Source)).fileName());
    ASSERT_EQ(names.size(), 3U);
    EXPECT_EQ(names.back(), "3.xml");
    std::sort(names.begin(), names.end() - 1);
    EXPECT_EQ(names, (std::vector<QString>{"3_.mp4", "3_1.mp4", "3.xml"}));

    // An empty file to be deleted is deleted all the same.
    settings.DeleteCopiedFiles = true;
    Fill(-1, false);
    EXPECT_FALSE(QFile::exists(Rec1("-1_1.mp4")));
}

TEST_F(CopyPlanningTest, TheArchiveCopyCountsAsTheSameFileBySizeAndTime) {
    const FileTime sourceTime = 133'600'000'000'000'000ULL + 12'345'670ULL;  // whole 100-ns units
    const struct {
        const char* what;
        qint64 targetSize;
        std::int64_t targetTimeOffset;  // 100-ns units
        bool queued;
    } cases[] = {
        {"same size, written later", 100, 1, false},
        {"same size, same time", 100, 0, false},
        {"same size, one unit older", 100, -1, true},
        {"same size, a high part older", 100, -(1LL << 32), true},
        {"same size, a high part later", 100, (1LL << 32), false},
        {"smaller, written later", 60, 10'000'000, true},
        {"larger", 160, 10'000'000, true},
        {"missing", -1, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        list.clear();
        QFile::remove(Arch("3.xml"));
        WriteFile(Rec1("3.xml"), 100);
        SetLastWrite(Rec1("3.xml"), sourceTime);
        if (c.targetSize >= 0) {
            WriteFile(Arch("3.xml"), c.targetSize);
            SetLastWrite(Arch("3.xml"), static_cast<FileTime>(static_cast<std::int64_t>(sourceTime) + c.targetTimeOffset));
            ASSERT_EQ(LastWrite(Arch("3.xml")), static_cast<FileTime>(static_cast<std::int64_t>(sourceTime) + c.targetTimeOffset));
        }
        Fill(3, true);
        EXPECT_EQ(list.size(), c.queued ? 1U : 0U);
    }
    EXPECT_TRUE(traces.Contains("+-+-+Halvane::SkipCopy '" + Rec1("3.xml").toStdString() + "'->'" +
                                Arch("3.xml").toStdString() + "' - the same files.\n"));
    EXPECT_TRUE(traces.Contains("CheckCopyFile: Source file size 100 != Target file size 60, ("));
    EXPECT_TRUE(traces.Contains("CheckCopyFile: Source file low_time "));
    EXPECT_TRUE(traces.Contains("CheckCopyFile: Source file hi_time "));
    EXPECT_TRUE(traces.Contains("CheckCopyFile: Target file not exist, err=0x2,2 file(" + Arch("3.xml").toStdString() + ")\n"));
}

TEST_F(CopyPlanningTest, EachPairIsQueuedOnceAndTwoRecorderFoldersGiveTwoItemsForOneTarget) {
    WriteFile(Rec1("2.xml"), 10);
    WriteFile(Rec1("cam/2_1.mp4"), 10);
    WriteFile(Rec2("cam/2_1.mp4"), 20);
    Fill(2, false);
    Fill(2, false);
    Fill(2, true);
    EXPECT_EQ(Queued(), (std::vector<std::pair<QString, QString>>{{Rec1("cam/2_1.mp4"), Arch("cam/2_1.mp4")},
                                                                  {Rec2("cam/2_1.mp4"), Arch("cam/2_1.mp4")},
                                                                  {Rec1("2.xml"), Arch("2.xml")}}));
    // Once the worker has taken an item, planning may queue it again.
    list.pop_front();
    Fill(2, false);
    EXPECT_EQ(list.back().Source, fs::Encode(Rec1("cam/2_1.mp4")));
    EXPECT_EQ(list.size(), 3U);
}

TEST_F(CopyPlanningTest, WithoutAGameFolderTheRecorderFoldersThemselvesAreScanned) {
    WriteFile(rec1 + "/a/b/c/4_1.mp4", 10);
    WriteFile(rec2 + "/4.xml", 10);
    Fill(4, false, QString());
    EXPECT_EQ(Queued(), (std::vector<std::pair<QString, QString>>{{rec1 + "/a/b/c/4_1.mp4", archive + "/a/b/c/4_1.mp4"},
                                                                  {rec2 + "/4.xml", archive + "/4.xml"}}));
}

TEST_F(CopyPlanningTest, NegativeNumbersDeleteTheVideosOnlyWhenAsked) {
    for (const QString& path : {Rec1("-3_1.mp4"), Rec1("cam/deep/-3_2.mp4"), Rec2("-3_1.mp4"), Rec1("-3.xml"),
                                Rec1("-30_1.mp4"), Rec1("3_1.mp4")})
        WriteFile(path, 10);
    WriteFile(Arch("-3_1.mp4"), 10);
    Fill(-3, false);
    EXPECT_TRUE(QFile::exists(Rec1("-3_1.mp4"))) << "DeleteCopiedFiles is off";
    EXPECT_TRUE(list.empty());

    settings.DeleteCopiedFiles = true;
    Fill(-3, true);
    for (const QString& gone : {Rec1("-3_1.mp4"), Rec1("cam/deep/-3_2.mp4"), Rec2("-3_1.mp4")})
        EXPECT_FALSE(QFile::exists(gone)) << gone.toStdString();
    for (const QString& kept : {Rec1("-3.xml"), Rec1("-30_1.mp4"), Rec1("3_1.mp4"), Arch("-3_1.mp4")})
        EXPECT_TRUE(QFile::exists(kept)) << kept.toStdString();
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(traces.Contains("xxxxx-Halvane::DeleteWithoutCopy '" + Rec2("-3_1.mp4").toStdString() + "'\n"));
}

TEST_F(CopyPlanningTest, AnArchiveRootThatIsARecorderFolderCopiesNothingOntoItself) {
    WriteFile(Rec1("3.xml"), 100);
    WriteFile(Rec1("cam/3_1.mp4"), 1000);
    const QByteArray video = test::ReadFile(Rec1("cam/3_1.mp4"));
    settings.CopyToPath = rec1;
    Fill(3, false);
    EXPECT_TRUE(list.empty()) << "each file is its own archive copy";
    EXPECT_EQ(test::ReadFile(Rec1("cam/3_1.mp4")), video);
    EXPECT_TRUE(traces.Contains("+-+-+Halvane::SkipCopy '" + Rec1("cam/3_1.mp4").toStdString() + "'->'" +
                                Rec1("cam/3_1.mp4").toStdString() + "' - the same files.\n"));
}

TEST_F(CopyPlanningTest, SymbolicLinksAreNeverFollowed) {
    WriteFile(Rec1("5.xml"), 10);
    WriteFile(dir.filePath("elsewhere/5_1.mp4"), 10);
    WriteFile(dir.filePath("elsewhere/-5_1.mp4"), 10);
    ASSERT_EQ(::symlink(".", fs::Encode(Rec1("loop")).constData()), 0);
    ASSERT_EQ(::symlink(fs::Encode(dir.filePath("elsewhere")).constData(), fs::Encode(Rec1("outside")).constData()), 0);
    ASSERT_EQ(::symlink(fs::Encode(dir.filePath("elsewhere/5_1.mp4")).constData(), fs::Encode(Rec1("5_2.mp4")).constData()), 0);
    Fill(5, false);
    EXPECT_EQ(Queued(), (std::vector<std::pair<QString, QString>>{{Rec1("5.xml"), Arch("5.xml")}}));

    settings.DeleteCopiedFiles = true;
    Fill(-5, false);
    EXPECT_TRUE(QFile::exists(dir.filePath("elsewhere/-5_1.mp4"))) << "deletion stays inside the roots";
}

TEST_F(CopyPlanningTest, ARunOfRequestsPlansWhatTheRequestsPlanOneByOne) {
    for (const char* name : {"50.xml", "50_1.mp4", "0.xml", "1.xml", "cam/1_2.mp4", "cam/deep/1_3.mp4", "2_1.mp4",
                             "-2_1.mp4", "cam/-2_2.mp4"})
        WriteFile(Rec1(name), 10);
    WriteFile(Rec2("cam/1_2.mp4"), 10);
    const auto plan = [&](CopyPlanner::Batch* batch) {
        Fill(50, true, kGame, batch);
        for (int i = 0; i <= 2; ++i) Fill(i, i != 1, kGame, batch);
    };
    plan(nullptr);
    const auto oneByOne = Queued();
    list.clear();
    {
        CopyPlanner::Batch batch;
        plan(&batch);
        settings.DeleteCopiedFiles = true;
        Fill(-2, false, kGame, &batch);
        Fill(-2, false, kGame, &batch);  // the files are gone: the second pass deletes nothing more
    }
    EXPECT_EQ(Queued(), oneByOne);
    EXPECT_EQ(oneByOne.size(), 6U);
    EXPECT_FALSE(QFile::exists(Rec1("-2_1.mp4")));
    EXPECT_FALSE(QFile::exists(Rec1("cam/-2_2.mp4")));
}

// The archive root as it was recorded: a share mounted there that drops leaves its empty
// folder on the local disk, which is no archive; nor is the root made again as a plain
// folder, nor a root that another file system was mounted over.
TEST_F(CopyPlanningTest, AnArchiveThatIsNotTheRecordedOneGetsNoFolders) {
    HV_NEEDS(test::Root("mounts file systems of its own"));
    WriteFile(Rec1("3.xml"), 10);
    WriteFile(Rec1("3_1.mp4"), 10);
    const QString share = dir.filePath("share");
    test::MountGuard shareMount;
    ASSERT_TRUE(shareMount.MountTmpfs(share, "size=4m")) << shareMount.Error();
    const struct {
        const char* what;
        bool mountedWhenRecorded;
        std::function<void(test::MountGuard&)> change;
    } cases[] = {
        {"the share dropped", true, [](test::MountGuard& m) { m.Unmount(); }},
        {"the root made again as a plain folder", true,
         [&](test::MountGuard& m) {
             m.Unmount();
             QDir(archive).removeRecursively();
             QDir().mkpath(archive);
         }},
        {"another file system mounted over a plain root", false,
         [&](test::MountGuard& m) { ASSERT_TRUE(m.MountBind(share, archive)) << m.Error(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        list.clear();
        QDir(archive).removeRecursively();
        QDir().mkpath(archive);
        test::MountGuard archiveMount;
        if (c.mountedWhenRecorded) {
            ASSERT_TRUE(archiveMount.MountBind(share, archive)) << archiveMount.Error();
        }
        const ArchiveRoot root = ArchiveRoot::Record(archive);
        EXPECT_EQ(root.MountPoint(), c.mountedWhenRecorded);
        c.change(archiveMount);
        planner.FillCopyFiles(root, settings, kGame, 3, false, kTick);
        EXPECT_TRUE(list.empty());
        EXPECT_FALSE(QDir(archive + "/2024-05-17").exists()) << "no game folder";
        archiveMount.Unmount();
        EXPECT_TRUE(test::EntriesOf(archive).isEmpty()) << "nothing on the local disk";
        EXPECT_TRUE(test::EntriesOf(share).isEmpty()) << "nor on the share";
    }
    // A file system mounted again where the recorded one was: the archive again.
    test::MountGuard again;
    const ArchiveRoot before = [&] {
        test::MountGuard first;
        EXPECT_TRUE(first.MountBind(share, archive)) << first.Error();
        return ArchiveRoot::Record(archive);
    }();
    ASSERT_TRUE(again.MountTmpfs(archive, "size=4m")) << again.Error();
    planner.FillCopyFiles(before, settings, kGame, 3, false, kTick);
    EXPECT_EQ(list.size(), 2U);
    EXPECT_TRUE(QDir(archive + "/2024-05-17/19-30").exists());
}

// A root where the computer's mount table mounts a share, or under such a place, while
// the share is not mounted: the folder there is the empty mount point on the local disk,
// and the root counts as not found (nothing is planned, no folder made) until the share is
// mounted. The table of a test of its own, in the form of /etc/fstab.
TEST_F(CopyPlanningTest, ARootWhoseShareOfTheMountTableIsNotMountedIsNotFound) {
    HV_NEEDS(test::Root("mounts file systems of its own"));
    WriteFile(Rec1("3.xml"), 10);
    const QString nas = dir.filePath("nas"), spaced = dir.filePath("with space");
    const QByteArray table = QFile::encodeName(dir.filePath("fstab"));
    QFile file(QFile::decodeName(table));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("# the archive's shares\n"
               "UUID=0a1b /  ext4 defaults 0 1\n"
               "/swapfile none swap sw 0 0\n"
               "//nas/video " + QFile::encodeName(archive) + " cifs credentials=/etc/nas,noauto 0 0\n"
               "server:/exports " + QFile::encodeName(nas) + "/ nfs defaults 0 0\n"
               "server:/spaced " + QFile::encodeName(dir.path()) + "/with\\040space nfs defaults 0 0\n");
    file.close();
    const struct {
        const char* what;
        QString mountAt;  // where the share is mounted; empty: not mounted
        QString root;
        bool found;
    } cases[] = {
        {"the root listed, not mounted", {}, archive, false},
        {"the root listed, mounted", archive, archive, true},
        {"a folder above listed, not mounted", {}, nas + "/archive", false},
        {"a folder above listed, mounted", nas, nas + "/archive", true},
        {"listed with a space, not mounted", {}, spaced, false},
        {"not listed", {}, dir.filePath("local"), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        list.clear();
        test::MountGuard share;
        if (!c.mountAt.isEmpty()) {
            ASSERT_TRUE(share.MountTmpfs(c.mountAt, "size=4m")) << share.Error();
        }
        QDir().mkpath(c.root);
        const ArchiveRoot root = ArchiveRoot::Record(c.root, table.constData());
        EXPECT_EQ(root.Found(), c.found);
        EXPECT_TRUE(ArchiveRoot::Record(c.root, dir.filePath("no-table").toUtf8().constData()).Found())
            << "without a table, any folder that is there";
        planner.FillCopyFiles(root, settings, kGame, 3, false, kTick);
        EXPECT_EQ(list.size(), c.found ? 1U : 0U);
        EXPECT_EQ(QDir(c.root + "/2024-05-17").exists(), c.found) << "a game folder only on the share";
    }
}

// The root recorded anew: once found (a share of the mount table mounted at last), and when
// a share was mounted over a root recorded as a plain folder (a share the table does not
// list); never when a share dropped, leaving its mount point (or a folder made again) on
// the local disk.
TEST_F(CopyPlanningTest, ARootIsRecordedAnewOnlyWhenAShareArrivesNeverWhenOneDrops) {
    HV_NEEDS(test::Root("mounts file systems of its own"));
    const QByteArray table = QFile::encodeName(dir.filePath("fstab"));
    const QString listed = dir.filePath("listed");
    QDir().mkpath(listed);
    QFile file(QFile::decodeName(table));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("//nas/video " + QFile::encodeName(listed) + " cifs defaults 0 0\n");
    file.close();
    const QString under = dir.filePath("mounted") + "/archive";
    const struct {
        const char* what;
        QString root;
        QString mountFirst;  // mounted when the root is recorded
        bool dropFirst;      // then unmounted
        QString mountThen;   // then mounted
        bool renewed;
    } cases[] = {
        {"a share of the table, mounted at last", listed, {}, false, listed, true},
        {"a share mounted by hand over a plain folder", archive, {}, false, archive, true},
        {"a share mounted over a folder above the root", under, {}, false, dir.filePath("mounted"), true},
        {"a share that dropped", archive, archive, true, {}, false},
        {"a share above the root that dropped", under, dir.filePath("mounted"), true, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::MountGuard first, then;
        if (!c.mountFirst.isEmpty()) {
            ASSERT_TRUE(first.MountTmpfs(c.mountFirst, "size=4m")) << first.Error();
        }
        QDir().mkpath(c.root);
        const ArchiveRoot recorded = ArchiveRoot::Record(c.root, table.constData());
        EXPECT_EQ(recorded.Renewed(table.constData()), recorded) << "nothing changed yet";
        if (c.dropFirst) first.Unmount();
        if (!c.mountThen.isEmpty()) {
            ASSERT_TRUE(then.MountTmpfs(c.mountThen, "size=4m")) << then.Error();
        }
        QDir().mkpath(c.root);  // a share that dropped: the folder made again on the local disk
        const ArchiveRoot renewed = recorded.Renewed(table.constData());
        EXPECT_EQ(!(renewed == recorded), c.renewed);
        EXPECT_EQ(renewed.Open(nullptr).Valid(), c.renewed);
        then.Unmount();
        first.Unmount();
        QDir(dir.filePath("mounted")).removeRecursively();
    }
}

// Copies still queued under a root recorded as a plain folder, and a share mounted over it
// since: planning under the root recorded anew queues every file again for the share (the
// worker drops the old items, which would otherwise stand in for the new ones).
TEST_F(CopyPlanningTest, CopiesQueuedBeforeAShareArrivedAreQueuedAgainForTheShare) {
    HV_NEEDS(test::Root("mounts file systems of its own"));
    WriteFile(Rec1("3.xml"), 10);
    WriteFile(Rec1("3_1.mp4"), 10);
    const ArchiveRoot plain = ArchiveRoot::Record(archive);
    planner.FillCopyFiles(plain, settings, kGame, 3, false, kTick);
    ASSERT_EQ(list.size(), 2U);
    test::MountGuard share;
    ASSERT_TRUE(share.MountTmpfs(archive, "size=4m")) << share.Error();
    const ArchiveRoot renewed = plain.Renewed();
    ASSERT_FALSE(renewed == plain);
    planner.FillCopyFiles(renewed, settings, kGame, 3, false, kTick);
    ASSERT_EQ(list.size(), 4U);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(list[i].Root, plain);
        EXPECT_EQ(list[i + 2].Root, renewed);
        EXPECT_EQ(list[i + 2].Source, list[i].Source);
        EXPECT_EQ(list[i + 2].Target, list[i].Target);
    }
    EXPECT_TRUE(QDir(Arch("")).exists()) << "the game's folder is made on the share";
    planner.FillCopyFiles(renewed, settings, kGame, 3, false, kTick);
    EXPECT_EQ(list.size(), 4U) << "once per root";
}

TEST_F(CopyPlanningTest, CheckDirMakesEveryMissingLevelBelowTheRootOnly) {
    const ArchiveRoot root = ArchiveRoot::Record(archive);
    const auto bytes = [](const QString& path) { return fs::Encode(path); };
    EXPECT_TRUE(CheckDir(bytes(archive + "/a/b/c/file.mp4"), root));
    EXPECT_TRUE(QDir(archive + "/a/b/c").exists());
    EXPECT_FALSE(QFile::exists(archive + "/a/b/c/file.mp4"));
    EXPECT_TRUE(CheckDir(bytes(archive + "/x/y/"), root));
    EXPECT_TRUE(QDir(archive + "/x/y").exists());

    traces.Clear();
    EXPECT_FALSE(CheckDir("file.mp4", root));
    EXPECT_TRUE(traces.Contains("\n----- !!!!! ----- Halvane::CheckDir ERROR - empty directory 'file.mp4'\n\n"));

    const QString gone = dir.filePath("gone/archive");
    EXPECT_FALSE(CheckDir(bytes(gone + "/2024/file.mp4"), ArchiveRoot::Record(gone)));
    EXPECT_FALSE(QDir(gone).exists());
    EXPECT_FALSE(QDir(dir.filePath("gone")).exists());

    // Nothing outside the root, and no way out of it.
    EXPECT_FALSE(CheckDir(bytes(dir.filePath("elsewhere/file.mp4")), root));
    EXPECT_FALSE(CheckDir(bytes(archive + "/../escaped/file.mp4"), root));
    EXPECT_FALSE(QDir(dir.filePath("elsewhere")).exists());
    EXPECT_FALSE(QDir(dir.filePath("escaped")).exists());
    // A link inside the archive is not followed out of it.
    ASSERT_EQ(::symlink(fs::Encode(dir.filePath("outside")).constData(), bytes(archive + "/link").constData()), 0);
    QDir().mkpath(dir.filePath("outside"));
    EXPECT_FALSE(CheckDir(bytes(archive + "/link/2024/file.mp4"), root));
    EXPECT_FALSE(QDir(dir.filePath("outside/2024")).exists());
}

}  // namespace
}  // namespace hv
