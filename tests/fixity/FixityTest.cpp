// The archive's checksums: the manifest's lines as sha256sum writes and reads them, their
// safe replacement (also when the writer is killed in the middle), the copy that records
// the checksum of what it copied, and `Halvane --verify-archive` run as the real program
// on a real archive: each kind of damage reported exactly, with its exit status, and the
// archive left as it was (its whole tree compared before and after).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "OtherUser.h"
#include "RawFiles.h"
#include "Requirements.h"
#include "copy/ArchiveRoot.h"
#include "copy/CopyWorker.h"
#include "fixity/ArchiveCheck.h"
#include "fixity/Manifest.h"
#include "fixity/Sha256.h"
#include "platform/FileSystem.h"

namespace hv {
namespace {

using fixity::ChecksumRecord;
using fixity::RecordMode;
using fixity::Sha256;

// ---- files as bytes ----

// A file with its folders made as needed.
void WriteBytes(const QByteArray& path, const QByteArray& content) {
    const qsizetype slash = path.lastIndexOf('/');
    if (slash > 0) QDir().mkpath(QFile::decodeName(path.left(slash)));
    test::WriteRawFile(path, content);
}

// Removes a tree whose names may not be UTF-8 (beyond Qt's own removal).
void RemoveTree(const QByteArray& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path.toStdString(), ignored);
}

// A temporary folder removed whole, whatever names it holds.
class TemporaryFolder : public QTemporaryDir {
public:
    ~TemporaryFolder() { RemoveTree(QFile::encodeName(path())); }
};

QByteArray Content(int size, int seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 131 + seed * 7 + i / 251);
    return bytes;
}

// Every entry under `root` (hidden ones too), with what it is: kind, mode, size, time of
// the last change and, for files, a digest of the content. Links are not followed.
void SnapshotInto(const QByteArray& root, const QByteArray& relative, std::map<QByteArray, QByteArray>& tree) {
    DIR* folder = ::opendir((root + relative).constData());
    if (folder == nullptr) {
        tree[relative] = "unreadable";
        return;
    }
    std::vector<QByteArray> names;
    while (const dirent* entry = ::readdir(folder))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    ::closedir(folder);
    for (const QByteArray& name : names) {
        const QByteArray path = relative + name;
        struct stat st{};
        ASSERT_EQ(::lstat((root + path).constData(), &st), 0);
        QByteArray description = QByteArray::number(st.st_mode, 8) + ' ' + QByteArray::number(st.st_size) + ' ' +
                                 QByteArray::number(st.st_mtim.tv_sec) + '.' + QByteArray::number(st.st_mtim.tv_nsec);
        if (S_ISREG(st.st_mode)) description += ' ' + Sha256::HexOf(test::ReadRawFile(root + path));
        tree[path] = description;
        if (S_ISDIR(st.st_mode)) SnapshotInto(root, path + '/', tree);
    }
}

std::map<QByteArray, QByteArray> Snapshot(const QByteArray& root) {
    std::map<QByteArray, QByteArray> tree;
    SnapshotInto(root.endsWith('/') ? root : root + '/', QByteArray(), tree);
    return tree;
}

std::string Differences(const std::map<QByteArray, QByteArray>& before, const std::map<QByteArray, QByteArray>& after) {
    std::string text;
    for (const auto& [path, what] : before) {
        const auto found = after.find(path);
        if (found == after.end()) text += "removed " + path.toStdString() + "\n";
        else if (found->second != what) text += "changed " + path.toStdString() + "\n";
    }
    for (const auto& [path, what] : after)
        if (!before.count(path)) text += "added " + path.toStdString() + "\n";
    return text;
}

struct Finished {
    int code = -1;
    QByteArray out, err;
};

// Runs `program` with `arguments`, in `folder` when given.
Finished RunProgram(const QString& program, const QStringList& arguments, const QString& folder = {},
                    const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
    QProcess process;
    process.setProcessEnvironment(environment);
    if (!folder.isEmpty()) process.setWorkingDirectory(folder);
    process.start(program, arguments);
    Finished finished;
    if (!process.waitForStarted(30000)) return finished;
    process.closeWriteChannel();
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return finished;
    }
    finished.out = process.readAllStandardOutput();
    finished.err = process.readAllStandardError();
    finished.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return finished;
}

// `sha256sum -c` run in `folder` on its manifest: its exit status and what it said.
Finished Sha256sumCheck(const QByteArray& folder) {
    return RunProgram(QStringLiteral("sha256sum"), {QStringLiteral("-c"), QStringLiteral("--strict"), "SHA256SUMS"},
                      QFile::decodeName(folder));
}

// The report lines before the summary, and the summary.
QList<QByteArray> FindingLines(const QByteArray& out) {
    QList<QByteArray> lines = out.split('\n');
    if (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();
    if (!lines.isEmpty() && lines.back().startsWith("Summary: ")) lines.removeLast();
    return lines;
}

// ---- the manifest's lines ----

// Names as the recorder and the file system may give them: with a space, a backslash, a
// line feed, a carriage return, bytes that are not UTF-8, in a subfolder.
const QByteArray kAwkwardNames[] = {
    "1_1.mp4",
    "cam 3/1_3 left side.mp4",
    "back\\slash/2_1.mp4",
    "new\nline.mp4",
    "car\rriage.mp4",
    "cam1/2_\xff\xfe latin1 \xe9.mp4",
    "\xd0\xba\xd0\xb0\xd0\xbc/3_1.mp4",  // UTF-8 Cyrillic
};

TEST(ManifestLineTest, LinesAreThoseSha256sumWritesAndReadsForEveryKindOfName) {
    HV_NEEDS(test::Tools({"sha256sum"}));
    TemporaryFolder dir;
    const QByteArray folder = QFile::encodeName(dir.path()) + '/';
    QByteArray written;
    for (const QByteArray& name : kAwkwardNames) {
        const QByteArray content = Content(1000 + static_cast<int>(name.size()), name.size());
        WriteBytes(folder + name, content);
        const QByteArray line = fixity::FormatLine(Sha256::HexOf(content), name);
        // sha256sum's own line for the file, byte for byte.
        const Finished own = RunProgram(QStringLiteral("sha256sum"), {"--", QFile::decodeName(name)},
                                        QFile::decodeName(folder));
        if (QFile::encodeName(QFile::decodeName(name)) == name) {
            EXPECT_EQ(own.code, 0);
            EXPECT_EQ(own.out, line + '\n') << name.toStdString();
        }
        QByteArray digest, parsed;
        ASSERT_TRUE(fixity::ParseLine(line, digest, parsed)) << line.toStdString();
        EXPECT_EQ(parsed, name);
        EXPECT_EQ(digest, Sha256::HexOf(content));
        written += line + '\n';
    }
    WriteBytes(folder + "SHA256SUMS", written);
    const Finished check = Sha256sumCheck(folder);
    EXPECT_EQ(check.code, 0) << check.out.toStdString() << check.err.toStdString();
    EXPECT_EQ(check.out.count(": OK\n"), static_cast<qsizetype>(std::size(kAwkwardNames)));
}

TEST(ManifestLineTest, WhatIsNotAChecksumLineOfTheFolderIsRefused) {
    const QByteArray hex(64, 'a');
    const struct {
        QByteArray line;
        bool valid;
        QByteArray name;
    } cases[] = {
        {hex + "  a.mp4", true, "a.mp4"},
        {hex.toUpper() + "  a.mp4", true, "a.mp4"},
        {hex + " *a.mp4", true, "a.mp4"},  // sha256sum's binary mode
        {hex + "  ./cam1//a.mp4", true, "cam1/a.mp4"},
        {'\\' + hex + "  a\\\\b\\nc.mp4", true, "a\\b\nc.mp4"},
        {hex + "  a\\b.mp4", true, "a\\b.mp4"},  // unescaped: the backslash is the name's
        {hex.left(63) + "  a.mp4", false, {}},
        {hex.left(63) + "g  a.mp4", false, {}},
        {hex + " a.mp4", false, {}},
        {hex + "\ta.mp4", false, {}},
        {hex + "  ", false, {}},
        {hex + "  /etc/passwd", false, {}},
        {hex + "  cam1/../../x.mp4", false, {}},
        {'\\' + hex + "  a\\x.mp4", false, {}},
        {'\\' + hex + "  a\\", false, {}},
        {"SHA256 (a.mp4) = " + hex, false, {}},
        {"garbage", false, {}},
    };
    for (const auto& c : cases) {
        QByteArray digest, name;
        EXPECT_EQ(fixity::ParseLine(c.line, digest, name), c.valid) << c.line.toStdString();
        if (c.valid) {
            EXPECT_EQ(name, c.name) << c.line.toStdString();
        }
    }
}

// ---- recording checksums ----

class ManifestTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        folder = QFile::encodeName(dir.path()) + '/';
        fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override { ::close(fd); }
    QByteArray Manifest() const { return test::ReadRawFile(folder + "SHA256SUMS"); }
    QStringList Entries() const {
        return QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                          QDir::Name);
    }

    TemporaryFolder dir;
    QByteArray folder;
    int fd = -1;
};

TEST_F(ManifestTest, ACopyAgainReplacesItsLineAndOnlyMissingOnesAreAdded) {
    const QByteArray a(64, 'a'), b(64, 'b'), c(64, 'c'), d(64, 'd');
    int error = 0;
    ASSERT_TRUE(fixity::RecordChecksums(fd, {{"cam1/1_1.mp4", a}}, RecordMode::Replace, 1000, &error)) << error;
    ASSERT_TRUE(fixity::RecordChecksums(fd, {{"1.xml", b}}, RecordMode::Replace, 1000, &error));
    EXPECT_EQ(Manifest(), a + "  cam1/1_1.mp4\n" + b + "  1.xml\n");
    EXPECT_EQ(Entries(), QStringList{"SHA256SUMS"}) << "no temporary file is left";

    // A file copied again: its line, in its place.
    ASSERT_TRUE(fixity::RecordChecksums(fd, {{"cam1/1_1.mp4", c}}, RecordMode::Replace, 1000, &error));
    EXPECT_EQ(Manifest(), c + "  cam1/1_1.mp4\n" + b + "  1.xml\n");

    // Taken from the archive: only for names without a line, each after its note.
    std::vector<QByteArray> added;
    ASSERT_TRUE(fixity::RecordChecksums(fd, {{"1.xml", d, true}, {"2.xml", d, true}}, RecordMode::AddMissing, 1000,
                                        &error, &added, "2024-05-20T10:00:00Z"));
    EXPECT_EQ(added, std::vector<QByteArray>{"2.xml"});
    const QByteArray note = QByteArray(fixity::kFromArchiveNote) + " (2024-05-20T10:00:00Z)\n";
    EXPECT_EQ(Manifest(), c + "  cam1/1_1.mp4\n" + b + "  1.xml\n" + note + d + "  2.xml\n");
    const fixity::Manifest parsed = fixity::ParseManifest(Manifest());
    EXPECT_FALSE(parsed.FromArchive(1));
    EXPECT_TRUE(parsed.FromArchive(3));

    // The recording copied after all: its own checksum replaces the archive's, note and all.
    ASSERT_TRUE(fixity::RecordChecksums(fd, {{"2.xml", a}}, RecordMode::Replace, 1000, &error));
    EXPECT_EQ(Manifest(), c + "  cam1/1_1.mp4\n" + b + "  1.xml\n" + a + "  2.xml\n");
}

TEST_F(ManifestTest, LinesItCannotReadAreKeptAndADamagedManifestGetsNoChecksumsFromTheArchive) {
    const QByteArray a(64, 'a'), b(64, 'b');
    const QByteArray damaged = "# made by hand\n" + a + "  1.xml\nthis is not a line\n" + a.left(20);
    WriteBytes(folder + "SHA256SUMS", damaged);
    int error = 0;
    EXPECT_FALSE(fixity::RecordChecksums(fd, {{"2.xml", b, true}}, RecordMode::AddMissing, 1000, &error));
    EXPECT_EQ(error, EBADMSG);
    EXPECT_EQ(Manifest(), damaged);
    // A copy still records its checksum; what it cannot read stays for a person to see.
    ASSERT_TRUE(fixity::RecordChecksums(fd, {{"1.xml", b}}, RecordMode::Replace, 1000, &error));
    EXPECT_EQ(Manifest(), "# made by hand\n" + b + "  1.xml\nthis is not a line\n" + a.left(20) + "\n");
}

TEST_F(ManifestTest, AManifestThatCannotBeReadIsNeverWrittenOver) {
    ASSERT_EQ(::mkdir((folder + "SHA256SUMS").constData(), 0755), 0);
    int error = 0;
    EXPECT_FALSE(fixity::RecordChecksums(fd, {{"1.xml", QByteArray(64, 'a')}}, RecordMode::Replace, 1000, &error));
    EXPECT_EQ(error, EISDIR);
    EXPECT_TRUE(QFileInfo(dir.filePath("SHA256SUMS")).isDir());
}

TEST_F(ManifestTest, AWriterHoldingTheFolderMakesTheOtherWaitAndThenGiveUp) {
    const int other = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    int error = 0;
    EXPECT_FALSE(fixity::RecordChecksums(fd, {{"1.xml", QByteArray(64, 'a')}}, RecordMode::Replace, 50, &error));
    EXPECT_EQ(error, EWOULDBLOCK);
    EXPECT_FALSE(QFile::exists(dir.filePath("SHA256SUMS")));
    ::close(other);
    EXPECT_TRUE(fixity::RecordChecksums(fd, {{"1.xml", QByteArray(64, 'a')}}, RecordMode::Replace, 50, &error));
}

// A path opened under a folder never leaves it and never passes a link, with openat2 and
// without it (the kernels that lack it).
TEST_F(ManifestTest, APathOpenedUnderAFolderPassesNoLink) {
    TemporaryFolder outside;
    const QByteArray away = QFile::encodeName(outside.path());
    WriteBytes(away + "/f", "outside");
    WriteBytes(folder + "a/b/f", "inside");
    ASSERT_EQ(::symlink(away.constData(), (folder + "out").constData()), 0);
    ASSERT_EQ(::symlink("b", (folder + "a/in").constData()), 0);
    ASSERT_EQ(::symlink("b/f", (folder + "a/lf").constData()), 0);
    ASSERT_EQ(::mkfifo((folder + "a/pipe").constData(), 0644), 0);
    struct Case {
        const char* path;
        int error;  // 0: opens
    };
    const Case cases[] = {
        {"a/b/f", 0},      {"a/b", 0},        {"out/f", ELOOP}, {"a/in/f", ELOOP},
        {"a/lf", ELOOP},   {"a/none/f", ENOENT}, {"a/b/f/g", ENOTDIR}, {"/etc/hostname", EXDEV},
    };
    for (const bool openat2 : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.path) + (openat2 ? " with openat2" : " component by component"));
            errno = 0;
            const fs::UniqueFd opened(fs::OpenBeneath(fd, c.path, O_RDONLY | O_NONBLOCK, openat2));
            EXPECT_EQ(opened.Valid() ? 0 : errno, c.error);
        }
        // A FIFO opens without blocking (the caller looks at what it opened before reading).
        const fs::UniqueFd pipe(fs::OpenBeneath(fd, "a/pipe", O_RDONLY | O_NONBLOCK, openat2));
        EXPECT_TRUE(pipe.Valid()) << errno;
        const fs::UniqueFd file(fs::OpenBeneath(fd, "a/b/f", O_RDONLY, openat2));
        char text[16] = {};
        ASSERT_TRUE(file.Valid());
        EXPECT_EQ(::read(file.Get(), text, sizeof text), 6);
        EXPECT_STREQ(text, "inside");
    }
}

// A file planted under the manifest's temporary name, as a hard link to a file elsewhere
// (or a leftover of a writer that died): that file is not written through, and the
// manifest is written all the same.
TEST_F(ManifestTest, AHardLinkAtTheTemporaryNameKeepsItsFilesContent) {
    TemporaryFolder elsewhere;
    const QByteArray other = QFile::encodeName(elsewhere.path()) + "/other";
    WriteBytes(other, "somebody else's file\n");
    ASSERT_EQ(::link(other.constData(), (folder + ".SHA256SUMS.halvane-tmp").constData()), 0);
    int error = 0;
    ASSERT_TRUE(fixity::RecordChecksums(fd, {{"1.xml", QByteArray(64, 'a')}}, RecordMode::Replace, 1000, &error))
        << error;
    EXPECT_EQ(test::ReadRawFile(other), "somebody else's file\n");
    EXPECT_EQ(Manifest(), QByteArray(64, 'a') + "  1.xml\n");
    EXPECT_EQ(Entries(), QStringList{"SHA256SUMS"});
    struct stat st{};
    ASSERT_EQ(::stat(other.constData(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u) << "its planted name is gone";
}

// A writer killed at any moment, also while its new manifest is half written, leaves the
// manifest it found, whole, or the new one, whole.
TEST_F(ManifestTest, AWriterKilledInTheMiddleOfAWriteLeavesAWholeManifest) {
    constexpr int kLines = 500;
    const auto wholeOneOf = [&](const QByteArray& text) {
        const fixity::Manifest manifest = fixity::ParseManifest(text);
        if (manifest.Damaged() || manifest.Lines.size() != kLines) return false;
        for (const fixity::ManifestLine& line : manifest.Lines)
            if (line.Digest != manifest.Lines.front().Digest) return false;
        return manifest.Lines.front().Digest == QByteArray(64, 'a') || manifest.Lines.front().Digest == QByteArray(64, 'b');
    };
    int killedWhileWriting = 0;
    for (int round = 0; round < 20; ++round) {
        (void)::unlink((folder + ".SHA256SUMS.halvane-tmp").constData());  // what the last one left
        const pid_t writer = ::fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            ::execl(HALVANE_MANIFEST_WRITER, "manifest_writer", folder.constData(), QByteArray::number(kLines).constData(),
                    nullptr);
            ::_exit(127);
        }
        // Killed as soon as a new manifest is being written (its temporary file is there),
        // a little later each round.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        bool seen = false;
        while (!seen && std::chrono::steady_clock::now() < deadline) {
            seen = ::access((folder + ".SHA256SUMS.halvane-tmp").constData(), F_OK) == 0 && QFile::exists(dir.filePath("SHA256SUMS"));
        }
        for (int spin = 0; spin < round * 2000; ++spin) std::atomic_signal_fence(std::memory_order_seq_cst);
        ::kill(writer, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(writer, &status, 0), writer);
        ASSERT_TRUE(seen) << "the writer never wrote";
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << status;
        if (QFile::exists(dir.filePath(".SHA256SUMS.halvane-tmp"))) ++killedWhileWriting;
        EXPECT_TRUE(wholeOneOf(Manifest())) << "round " << round << ": " << Manifest().left(300).toStdString();
    }
    EXPECT_GT(killedWhileWriting, 0) << "no kill fell into a write";
    // The next writer takes over what the killed one left.
    int error = 0;
    ASSERT_TRUE(fixity::RecordChecksums(fd, {{"cam0/0_1.mp4", QByteArray(64, 'c')}}, RecordMode::Replace, 1000, &error));
    EXPECT_EQ(Entries(), QStringList{"SHA256SUMS"});
}

// ---- the copy records what it copied ----

class ChecksumCopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        base = QFile::encodeName(dir.path()) + '/';
        QDir().mkpath(dir.filePath("archive"));
        root = ArchiveRoot::Record(dir.filePath("archive"));
        game = root.Path() + "2024-05-17/19-30/";
        buffer.resize(CopyWorker::kChunkSize);
    }
    CopyResult Copy(const QByteArray& name, const QByteArray& gameFolder) {
        return CopyWorker::CopyFile(base + "rec/2024-05-17/19-30/" + name, game + name, root, buffer, 0, false, percent,
                                    stop, nullptr, gameFolder);
    }

    TemporaryFolder dir;
    QByteArray base, game;
    ArchiveRoot root;
    std::vector<char> buffer;
    std::atomic<int> percent{0};
    std::atomic<bool> stop{false};
};

TEST_F(ChecksumCopyTest, EachCopyRecordsTheChecksumOfItsBytesInTheManifestOfTheGameFolder) {
    HV_NEEDS(test::Tools({"sha256sum"}));
    std::map<QByteArray, QByteArray> contents;
    for (const QByteArray& name : kAwkwardNames) {
        contents[name] = Content(3 * 1024 * 1024 / 2 + static_cast<int>(name.size()), static_cast<int>(name.size()));
        WriteBytes(base + "rec/2024-05-17/19-30/" + name, contents[name]);
        ASSERT_EQ(Copy(name, game), CopyResult::Copied) << name.toStdString();
    }
    const fixity::Manifest manifest = fixity::ParseManifest(test::ReadRawFile(game + "SHA256SUMS"));
    ASSERT_EQ(manifest.Lines.size(), std::size(kAwkwardNames));
    for (std::size_t i = 0; i < manifest.Lines.size(); ++i) {
        EXPECT_EQ(manifest.Lines[i].Name, kAwkwardNames[i]);
        EXPECT_EQ(manifest.Lines[i].Digest, Sha256::HexOf(contents[kAwkwardNames[i]]));
    }
    const Finished check = Sha256sumCheck(game);
    EXPECT_EQ(check.code, 0) << check.out.toStdString() << check.err.toStdString();

    // Copied again after the recording changed: one line, the new checksum (the earlier
    // line was taken out before the new copy took the name; the new one comes last).
    contents["1_1.mp4"] = Content(4000, 99);
    WriteBytes(base + "rec/2024-05-17/19-30/1_1.mp4", contents["1_1.mp4"]);
    ASSERT_EQ(Copy("1_1.mp4", game), CopyResult::Copied);
    const fixity::Manifest again = fixity::ParseManifest(test::ReadRawFile(game + "SHA256SUMS"));
    ASSERT_EQ(again.Lines.size(), std::size(kAwkwardNames));
    EXPECT_EQ(again.Lines.back().Name, "1_1.mp4");
    EXPECT_EQ(again.Lines.back().Digest, Sha256::HexOf(contents["1_1.mp4"]));
    EXPECT_EQ(again.Lines[0].Name, kAwkwardNames[1]);
    EXPECT_EQ(Sha256sumCheck(game).code, 0);

    // Without the game's folder: the manifest of the copy's own folder.
    WriteBytes(base + "rec/2024-05-17/19-30/cam9/9_1.mp4", "nine");
    ASSERT_EQ(Copy("cam9/9_1.mp4", {}), CopyResult::Copied);
    EXPECT_EQ(test::ReadRawFile(game + "cam9/SHA256SUMS"), Sha256::HexOf("nine") + "  9_1.mp4\n");
}

TEST_F(ChecksumCopyTest, AStoppedCopyWritesNoLine) {
    WriteBytes(base + "rec/2024-05-17/19-30/1_1.mp4", Content(3 * 1024 * 1024, 1));
    stop = true;  // seen after the first chunk
    EXPECT_EQ(Copy("1_1.mp4", game), CopyResult::Interrupted);
    EXPECT_FALSE(QFile::exists(QFile::decodeName(game + "SHA256SUMS")));
    EXPECT_FALSE(QFile::exists(QFile::decodeName(game + "1_1.mp4")));
}

// A manifest that cannot be written fails the copy, which keeps its source for the next
// attempt and records nothing half.
TEST_F(ChecksumCopyTest, AManifestThatCannotBeWrittenFailsTheCopyAndKeepsTheSource) {
    const QByteArray source = base + "rec/2024-05-17/19-30/1_1.mp4";
    WriteBytes(source, Content(5000, 1));
    QDir().mkpath(QFile::decodeName(game + "SHA256SUMS"));  // a folder in its way
    int archiveError = 0;
    EXPECT_EQ(CopyWorker::CopyFile(source, game + "1_1.mp4", root, buffer, 0, true, percent, stop, &archiveError, game),
              CopyResult::Failed);
    EXPECT_EQ(archiveError, EISDIR);
    EXPECT_EQ(test::ReadRawFile(source), Content(5000, 1)) << "the source is kept";
    ASSERT_TRUE(QDir(QFile::decodeName(game + "SHA256SUMS")).removeRecursively());
    EXPECT_EQ(CopyWorker::CopyFile(source, game + "1_1.mp4", root, buffer, 0, true, percent, stop, &archiveError, game),
              CopyResult::Copied);
    EXPECT_EQ(test::ReadRawFile(game + "SHA256SUMS"), Sha256::HexOf(Content(5000, 1)) + "  1_1.mp4\n");
    EXPECT_FALSE(QFile::exists(QFile::decodeName(source)));
}

// A copy again whose manifest cannot be written: the name never keeps the earlier copy's
// line with the new copy's bytes (which a check would report as damage for ever). The
// earlier copy stays with its line, and the next attempt records the new one.
TEST_F(ChecksumCopyTest, ACopyAgainWhoseManifestCannotBeWrittenLeavesNoLineOfTheEarlierCopy) {
    const QByteArray source = base + "rec/2024-05-17/19-30/cam1/1_1.mp4";
    WriteBytes(source, Content(5000, 1));
    ASSERT_EQ(Copy("cam1/1_1.mp4", game), CopyResult::Copied);
    WriteBytes(source, Content(7000, 2));  // recorded again under the same name
    // The manifest's temporary name taken by a folder: no manifest can be written.
    ASSERT_TRUE(QDir().mkpath(QFile::decodeName(game + ".SHA256SUMS.halvane-tmp")));
    EXPECT_EQ(Copy("cam1/1_1.mp4", game), CopyResult::Failed);
    const auto lineOf = [&](const QByteArray& name) {
        for (const fixity::ManifestLine& line : fixity::ParseManifest(test::ReadRawFile(game + "SHA256SUMS")).Lines)
            if (line.Type == fixity::ManifestLine::Kind::Entry && line.Name == name) return line.Digest;
        return QByteArray();
    };
    const QByteArray inPlace = test::ReadRawFile(game + "cam1/1_1.mp4");
    const QByteArray line = lineOf("cam1/1_1.mp4");
    EXPECT_TRUE(line.isEmpty() || line == Sha256::HexOf(inPlace))
        << "the line of another file: " << line.toStdString() << " for " << Sha256::HexOf(inPlace).toStdString();
    EXPECT_EQ(inPlace, Content(5000, 1)) << "the earlier copy stays when its line cannot be taken out";
    EXPECT_EQ(line, Sha256::HexOf(Content(5000, 1)));
    EXPECT_FALSE(QFile::exists(QFile::decodeName(game + "cam1/.1_1.mp4.halvane-copy")));

    ASSERT_TRUE(QDir(QFile::decodeName(game + ".SHA256SUMS.halvane-tmp")).removeRecursively());
    ASSERT_EQ(Copy("cam1/1_1.mp4", game), CopyResult::Copied);
    EXPECT_EQ(test::ReadRawFile(game + "cam1/1_1.mp4"), Content(7000, 2));
    EXPECT_EQ(test::ReadRawFile(game + "SHA256SUMS"), Sha256::HexOf(Content(7000, 2)) + "  cam1/1_1.mp4\n");
}

// The line of a name taken out, with its note, and only that; a manifest without the name
// is not written.
TEST_F(ManifestTest, AForgottenChecksumTakesItsNoteAlongAndCanBePutBack) {
    const QByteArray a(64, 'a'), b(64, 'b');
    int error = 0;
    ASSERT_TRUE(fixity::RecordChecksums(fd, {{"1.xml", a}, {"2.xml", b, true}}, RecordMode::AddMissing, 1000, &error,
                                        nullptr, "2024-05-20T10:00:00Z"));
    const QByteArray before = Manifest();
    fixity::ForgottenChecksum forgotten;
    ASSERT_TRUE(fixity::ForgetChecksum(fd, "3.xml", 1000, &error, &forgotten));
    EXPECT_FALSE(forgotten.Found);
    struct stat st{};
    ASSERT_EQ(::stat((folder + "SHA256SUMS").constData(), &st), 0);
    const ino_t inode = st.st_ino;
    ASSERT_TRUE(fixity::ForgetChecksum(fd, "3.xml", 1000, &error, &forgotten));
    ASSERT_EQ(::stat((folder + "SHA256SUMS").constData(), &st), 0);
    EXPECT_EQ(st.st_ino, inode) << "not written without the name";
    ASSERT_TRUE(fixity::ForgetChecksum(fd, "2.xml", 1000, &error, &forgotten));
    EXPECT_TRUE(forgotten.Found);
    EXPECT_EQ(forgotten.Record.Digest, b);
    EXPECT_TRUE(forgotten.Record.FromArchive);
    EXPECT_EQ(forgotten.NoteTime, "2024-05-20T10:00:00Z");
    EXPECT_EQ(Manifest(), a + "  1.xml\n");
    ASSERT_TRUE(fixity::RecordChecksums(fd, {forgotten.Record}, RecordMode::Replace, 1000, &error, nullptr,
                                        forgotten.NoteTime));
    EXPECT_EQ(Manifest(), before);
}

// ---- Halvane --verify-archive ----

// An archive made by the program's own copy: two games, each with descriptions and
// videos in camera folders, names with spaces, a backslash and bytes that are not UTF-8.
class VerifyTest : public ::testing::Test {
protected:
    static constexpr char kGame[] = "2024-05-17/19-30/";
    static constexpr char kOldGame[] = "2024-05-10/18-00/";

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        // Others may enter (a test runs the check as another user).
        ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
        base = QFile::encodeName(dir.path()) + '/';
        archive = base + "archive/";
        MakeArchive();
    }

    // The archive made afresh, as the copy makes it.
    void MakeArchive() {
        RemoveTree(base + "archive");
        RemoveTree(base + "rec");
        QDir().mkpath(QFile::decodeName(archive));
        const ArchiveRoot root = ArchiveRoot::Record(QFile::decodeName(archive));
        std::vector<char> buffer(CopyWorker::kChunkSize);
        std::atomic<int> percent{0};
        std::atomic<bool> stop{false};
        for (const char* game : {kOldGame, kGame}) {
            for (const QByteArray& name : Names()) {
                const QByteArray source = base + "rec/" + game + name;
                WriteBytes(source, Content(200'000 + static_cast<int>(name.size()) * 1000, static_cast<int>(name.size())));
                ASSERT_EQ(CopyWorker::CopyFile(source, archive + game + name, root, buffer, 0, false, percent, stop,
                                               nullptr, archive + game),
                          CopyResult::Copied);
            }
        }
        WriteBytes(archive + "refresh.csv", "2024-05-17-19-30; 2024-05-17-21-00-00\r\n");
    }

    static QList<QByteArray> Names() {
        return {"1.xml", "cam1/1_1.mp4", "cam2/1_2.mp4", "2.xml", "cam 3/2_3 left.mp4", "cam1/2_\xff\xfe.mp4",
                "cam2/back\\slash 2_2.mp4"};
    }

    // `Halvane --verify-archive` with `arguments` (the archive unless given otherwise).
    Finished Verify(QStringList arguments, bool withArchive = true) const {
        arguments.prepend(QStringLiteral("--verify-archive"));
        if (withArchive) arguments << QFile::decodeName(archive);
        return RunProgram(QStringLiteral(HALVANE_PROGRAM), arguments, {}, Environment());
    }
    QProcessEnvironment Environment() const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath("config"));
        environment.insert(QStringLiteral("XDG_STATE_HOME"), dir.filePath("state"));
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        return environment;
    }
    // The line of `name` in the game's manifest.
    int LineOf(const char* game, const QByteArray& name) const {
        const fixity::Manifest manifest = fixity::ParseManifest(test::ReadRawFile(archive + game + "SHA256SUMS"));
        for (const fixity::ManifestLine& line : manifest.Lines)
            if (line.Name == name) return line.Number;
        return 0;
    }
    QByteArray Where(const char* game, const QByteArray& name) const {
        return "(line " + QByteArray::number(LineOf(game, name)) + " of " + game + "SHA256SUMS";
    }

    TemporaryFolder dir;
    QByteArray base, archive;
};

TEST_F(VerifyTest, AWholeArchiveIsAllGoodAndSha256sumAgrees) {
    HV_NEEDS(test::Tools({"sha256sum"}));
    const auto before = Snapshot(archive);
    const Finished run = Verify({});
    EXPECT_EQ(run.code, 0) << run.out.toStdString() << run.err.toStdString();
    EXPECT_TRUE(FindingLines(run.out).isEmpty()) << run.out.toStdString();
    EXPECT_TRUE(run.out.startsWith("Summary: manifests 2, files checked 14 (")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(" read): good 14, changed 0, missing 0; without a checksum 0, recorded 0, not checked 0, "
                                 "errors 0. Result: all good (exit status 0).\n"))
        << run.out.toStdString();
    EXPECT_TRUE(run.err.isEmpty()) << run.err.toStdString() << " (no progress when not on a terminal)";
    EXPECT_EQ(Differences(before, Snapshot(archive)), "");
    for (const char* game : {kGame, kOldGame}) {
        const Finished check = Sha256sumCheck(archive + game);
        EXPECT_EQ(check.code, 0) << check.out.toStdString() << check.err.toStdString();
    }
    // Nothing of the program started: no log, no settings, no state.
    EXPECT_FALSE(QDir(dir.filePath("config")).exists());
    EXPECT_FALSE(QDir(dir.filePath("state")).exists());
}

// Each kind of damage, one at a time on a fresh archive: what the report says, the exit
// status, and the archive unchanged by the check.
TEST_F(VerifyTest, EachDamageIsReportedExactlyWithItsExitStatusAndTheArchiveIsLeftAsItWas) {
    struct Case {
        const char* what;
        std::function<void()> damage;
        std::function<QList<QByteArray>()> expected;  // the report's lines (after the damage)
        int code;
        QStringList arguments = {};
    };
    const QByteArray game = archive + kGame;
    const QByteArray awkward = "cam1/2_\xff\xfe.mp4";
    const auto changed = [&](const QByteArray& name) {
        return "changed: " + QByteArray(kGame) + fs::Printable(name) + ' ' + Where(kGame, name) + ": recorded ";
    };
    const Case cases[] = {
        {"one byte changed in a period's video",
         [&] {
             QByteArray video = test::ReadRawFile(game + "cam1/1_1.mp4");
             video[100'000] = static_cast<char>(video[100'000] ^ 0x01);
             WriteBytes(game + "cam1/1_1.mp4", video);
         },
         [&] { return QList<QByteArray>{changed("cam1/1_1.mp4")}; }, 1},
        {"a video truncated",
         [&] { ASSERT_EQ(::truncate((game + "cam2/1_2.mp4").constData(), 4096), 0); },
         [&] { return QList<QByteArray>{changed("cam2/1_2.mp4")}; }, 1},
        {"a file removed",
         [&] { ASSERT_EQ(::unlink((game + "2.xml").constData()), 0); },
         [&] { return QList<QByteArray>{"missing: " + QByteArray(kGame) + "2.xml " + Where(kGame, "2.xml") + ")"}; }, 1},
        {"a file added without a checksum",
         [&] { WriteBytes(game + "cam1/3_1.mp4", "a third period"); },
         [&] { return QList<QByteArray>{"no checksum: " + QByteArray(kGame) + "cam1/3_1.mp4"}; }, 4},
        {"a manifest damaged",
         [&] {
             QByteArray manifest = test::ReadRawFile(game + "SHA256SUMS");
             const qsizetype third = manifest.indexOf('\n', manifest.indexOf('\n') + 1) + 1;
             manifest.insert(third + 10, "\x01garbage");
             WriteBytes(game + "SHA256SUMS", manifest);
         },
         [&] {
             return QList<QByteArray>{"manifest damaged: " + QByteArray(kGame) + "SHA256SUMS (line 3 is not a checksum line)"};
         },
         3},
        {"a name with bytes that are not UTF-8 changed",
         [&] { WriteBytes(game + awkward, "not the recording"); },
         [&] { return QList<QByteArray>{changed(awkward)}; }, 1},
        {"a name with a space and one with a backslash removed",
         [&] {
             ASSERT_EQ(::unlink((game + "cam 3/2_3 left.mp4").constData()), 0);
             ASSERT_EQ(::unlink((game + "cam2/back\\slash 2_2.mp4").constData()), 0);
         },
         [&] {
             return QList<QByteArray>{
                 "missing: " + QByteArray(kGame) + "cam 3/2_3 left.mp4 " + Where(kGame, "cam 3/2_3 left.mp4") + ")",
                 "missing: " + QByteArray(kGame) + "cam2/back\\\\slash 2_2.mp4 " + Where(kGame, "cam2/back\\slash 2_2.mp4") + ")"};
         },
         1},
        {"damage in a game before --since is not looked at",
         [&] { ASSERT_EQ(::unlink((archive + kOldGame + "2.xml").constData()), 0); },
         [&] { return QList<QByteArray>{}; }, 0, {"--since", "2024-05-17"}},
        {"damage in a game of --since is",
         [&] { ASSERT_EQ(::unlink((archive + kOldGame + "2.xml").constData()), 0); },
         [&] {
             return QList<QByteArray>{"missing: " + QByteArray(kOldGame) + "2.xml " + Where(kOldGame, "2.xml") + ")"};
         },
         1, {"--since=2024-05-10", "--max-rate", "0"}},
        {"damage and files without a checksum: the damage decides",
         [&] {
             WriteBytes(game + "cam1/3_1.mp4", "a third period");
             ASSERT_EQ(::unlink((game + "2.xml").constData()), 0);
         },
         [&] {
             return QList<QByteArray>{"missing: " + QByteArray(kGame) + "2.xml " + Where(kGame, "2.xml") + ")",
                                      "no checksum: " + QByteArray(kGame) + "cam1/3_1.mp4"};
         },
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MakeArchive();
        c.damage();
        const auto before = Snapshot(archive);
        const QList<QByteArray> expected = c.expected();
        const Finished run = Verify(c.arguments);
        EXPECT_EQ(run.code, c.code) << run.out.toStdString() << run.err.toStdString();
        const QList<QByteArray> lines = FindingLines(run.out);
        ASSERT_EQ(lines.size(), expected.size()) << run.out.toStdString();
        for (qsizetype i = 0; i < lines.size(); ++i)
            EXPECT_TRUE(lines[i].startsWith(expected[i])) << lines[i].toStdString() << "\nexpected: " << expected[i].toStdString();
        EXPECT_TRUE(run.out.contains("(exit status " + QByteArray::number(c.code) + ").\n")) << run.out.toStdString();
        EXPECT_EQ(Differences(before, Snapshot(archive)), "") << "the check changed the archive";
    }
}

TEST_F(VerifyTest, AChangedFileIsReportedWithBothChecksumsAlsoInTheJsonReport) {
    const QByteArray game = archive + kGame;
    const QByteArray recorded = Sha256::HexOf(test::ReadRawFile(game + "cam1/1_1.mp4"));
    WriteBytes(game + "cam1/1_1.mp4", "replaced");
    WriteBytes(game + "cam1/3_1.mp4", "new");
    const Finished run = Verify({"--json", dir.filePath("report.json")});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.out.contains("changed: " + QByteArray(kGame) + "cam1/1_1.mp4 " + Where(kGame, "cam1/1_1.mp4") +
                                 ": recorded " + recorded + ", now " + Sha256::HexOf("replaced") + ")\n"))
        << run.out.toStdString();
    const QJsonObject report = QJsonDocument::fromJson(test::ReadRawFile(QFile::encodeName(dir.filePath("report.json")))).object();
    EXPECT_EQ(report["exit_status"].toInt(), 1);
    EXPECT_EQ(report["result"].toString(), "damage found");
    EXPECT_EQ(report["summary"].toObject()["changed"].toInt(), 1);
    EXPECT_EQ(report["summary"].toObject()["without_checksum"].toInt(), 1);
    EXPECT_EQ(report["summary"].toObject()["files_checked"].toInt(), 14);
    const QJsonArray findings = report["findings"].toArray();
    ASSERT_EQ(findings.size(), 2);
    EXPECT_EQ(findings[0].toObject()["kind"].toString(), "changed");
    EXPECT_EQ(findings[0].toObject()["path"].toString(), QString(kGame) + "cam1/1_1.mp4");
    EXPECT_EQ(findings[0].toObject()["expected_sha256"].toString(), QString::fromLatin1(recorded));
    EXPECT_EQ(findings[0].toObject()["sha256"].toString(), QString::fromLatin1(Sha256::HexOf("replaced")));
    EXPECT_TRUE(findings[0].toObject()["damage"].toBool());
    EXPECT_EQ(findings[1].toObject()["kind"].toString(), "no_checksum");

    // On standard output instead of the text report.
    const Finished json = Verify({"--json", "-"});
    EXPECT_EQ(json.code, 1);
    EXPECT_EQ(QJsonDocument::fromJson(json.out).object()["findings"].toArray().size(), 2) << json.out.toStdString();
}

// A folder the checking user may not enter: the folder and the files named in it that
// cannot be read are errors, not damage; the rest is checked.
TEST_F(VerifyTest, AFolderThatCannotBeReadIsAnErrorNotDamage) {
    HV_NEEDS(test::Root("runs the check as another user"));
    const QByteArray locked = archive + kGame + "cam2";
    ASSERT_EQ(::chmod(locked.constData(), 0700), 0);
    const auto before = Snapshot(archive);
    const QStringList command = test::AsOtherUser(dir.filePath("home"), {}, QStringLiteral(HALVANE_PROGRAM),
                                                  {"--verify-archive", QFile::decodeName(archive)});
    const Finished run = RunProgram(command.front(), command.mid(1), {}, Environment());
    EXPECT_EQ(run.code, 3) << run.out.toStdString() << run.err.toStdString();
    EXPECT_EQ(FindingLines(run.out),
              (QList<QByteArray>{"folder unreadable: " + QByteArray(kGame) + "cam2 (Permission denied)",
                                 "unreadable: " + QByteArray(kGame) + "cam2/1_2.mp4 (Permission denied)",
                                 "unreadable: " + QByteArray(kGame) + "cam2/back\\\\slash 2_2.mp4 (Permission denied)"}))
        << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(" read): good 12, changed 0, missing 0;")) << run.out.toStdString();
    EXPECT_EQ(Differences(before, Snapshot(archive)), "");
}

// A manifest the checking user may not read: an error, and the files it may name are not
// checked (never reported as files without a checksum).
TEST_F(VerifyTest, AManifestThatCannotBeReadLeavesItsFilesNotChecked) {
    HV_NEEDS(test::Root("runs the check as another user"));
    ASSERT_EQ(::chmod((archive + kGame + "SHA256SUMS").constData(), 0600), 0);
    const auto before = Snapshot(archive);
    const QStringList command = test::AsOtherUser(dir.filePath("home"), {}, QStringLiteral(HALVANE_PROGRAM),
                                                  {"--verify-archive", QFile::decodeName(archive)});
    const Finished run = RunProgram(command.front(), command.mid(1), {}, Environment());
    EXPECT_EQ(run.code, 3) << run.out.toStdString() << run.err.toStdString();
    EXPECT_EQ(FindingLines(run.out),
              QList<QByteArray>{"manifest unreadable: " + QByteArray(kGame) + "SHA256SUMS (Permission denied)"})
        << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(" read): good 7, changed 0, missing 0; without a checksum 0, recorded 0, not checked 7, "
                                 "errors 1. Result: not everything could be checked (exit status 3).\n"))
        << run.out.toStdString();
    EXPECT_EQ(Differences(before, Snapshot(archive)), "");

    // A link in the manifest's place is not the archive's manifest: the game's files have
    // none then.
    ASSERT_EQ(::unlink((archive + kGame + "SHA256SUMS").constData()), 0);
    ASSERT_EQ(::symlink("/etc/hostname", (archive + kGame + "SHA256SUMS").constData()), 0);
    const Finished linked = Verify({});
    EXPECT_EQ(linked.code, 4) << linked.out.toStdString();
    EXPECT_EQ(FindingLines(linked.out).size(), 7) << linked.out.toStdString();
}

// A game's folder replaced by a link out of the archive, to copies of its files: the check
// does not follow it, and reports the files the manifest names there as missing.
TEST_F(VerifyTest, AFolderReplacedByALinkOutOfTheArchiveIsNotFollowed) {
    const QByteArray game = archive + kGame;
    const QByteArray outside = base + "outside/cam1/";
    const QByteArray names[] = {"1_1.mp4", "2_\xff\xfe.mp4"};
    for (const QByteArray& name : names) WriteBytes(outside + name, test::ReadRawFile(game + "cam1/" + name));
    RemoveTree(game + "cam1");
    ASSERT_EQ(::symlink(outside.constData(), (game + "cam1").constData()), 0);
    const auto before = Snapshot(archive);
    const Finished run = Verify({});
    EXPECT_EQ(run.code, 1) << run.out.toStdString() << run.err.toStdString();
    QList<QByteArray> expected;
    for (const QByteArray& name : names)
        expected << "missing: " + QByteArray(kGame) + fs::Printable("cam1/" + name) + ' ' + Where(kGame, "cam1/" + name) +
                        ": not a regular file)";
    EXPECT_EQ(FindingLines(run.out), expected) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(" read): good 12, changed 0, missing 2;")) << run.out.toStdString();
    EXPECT_EQ(Differences(before, Snapshot(archive)), "");
}

// --record-missing led out of the archive while it runs: a folder replaced by a link after
// the walk, before its files are read, or before their checksums are written. Nothing
// outside is read or written.
TEST_F(VerifyTest, RecordingChecksumsIsNotLedOutOfTheArchiveByALinkPutInAFoldersPlace) {
    struct Case {
        const char* what;
        bool beforeReading;  // else once everything is read, before the manifest is written
        QByteArray folder;   // replaced, relative to the archive
        fixity::FindingKind kind;
        int count;
    };
    const Case cases[] = {
        {"a camera folder, before its files are read", true, QByteArray(kOldGame) + "cam2",
         fixity::FindingKind::Unreadable, 2},
        {"the game's day, before the manifest is written", false, "2024-05-10", fixity::FindingKind::RecordFailed,
         7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MakeArchive();
        ASSERT_EQ(::unlink((archive + kOldGame + "SHA256SUMS").constData()), 0);
        const QByteArray outside = base + "outside/" + c.folder;
        RemoveTree(base + "outside");
        QDir().mkpath(QFile::decodeName(outside));
        std::filesystem::copy((archive + c.folder).toStdString(), outside.toStdString(),
                              std::filesystem::copy_options::recursive);
        const auto outsideBefore = Snapshot(base + "outside");
        fixity::CheckOptions options;
        options.Root = archive;
        options.MaxRateMiBps = 0;
        options.RecordMissing = true;
        fixity::ArchiveCheck check(options);
        bool swapped = false;
        ASSERT_TRUE(check.Run([&](const fixity::CheckProgress& progress) {
            const bool now = c.beforeReading ? progress.FilesDone == 0 : progress.FilesDone == progress.FilesTotal;
            if (swapped || !now) return;
            swapped = true;
            RemoveTree(archive + c.folder);
            ASSERT_EQ(::symlink(outside.constData(), (archive + c.folder).constData()), 0);
        }));
        EXPECT_TRUE(swapped);
        int found = 0;
        for (const fixity::Finding& finding : check.Findings()) {
            if (!finding.Path.startsWith(c.folder + '/')) continue;
            EXPECT_EQ(finding.Kind, c.kind) << finding.Path.toStdString();
            EXPECT_EQ(finding.Error, ELOOP) << finding.Path.toStdString();
            ++found;
        }
        EXPECT_EQ(found, c.count);
        EXPECT_EQ(Differences(outsideBefore, Snapshot(base + "outside")), "") << "written outside the archive";
        EXPECT_EQ(check.ExitCode(), fixity::kCheckFailed);
    }
}

// A file copied again while the check runs: the copy worker replaces the file, then its
// line. The check, told after its first file, meets the file and the line as they are
// then: a new copy with its new line is good; a new copy whose line is not there (yet) is
// not checked, which is no damage; a line that arrives during the check is checked; and
// a file changed without a new line is still damage.
TEST_F(VerifyTest, AFileCopiedAgainDuringTheCheckIsNotDamage) {
    const QByteArray name = "cam1/1_1.mp4";
    const QByteArray target = archive + kGame + name;
    const QByteArray fresh = Content(300'000, 77);
    const auto copyAgain = [&] {
        WriteBytes(base + "rec/" + kGame + name, fresh);
        const ArchiveRoot root = ArchiveRoot::Record(QFile::decodeName(archive));
        std::vector<char> buffer(CopyWorker::kChunkSize);
        std::atomic<int> percent{0};
        std::atomic<bool> stop{false};
        ASSERT_EQ(CopyWorker::CopyFile(base + "rec/" + kGame + name, target, root, buffer, 0, false, percent, stop,
                                       nullptr, archive + kGame),
                  CopyResult::Copied);
    };
    const auto gameFolder = [&] {
        return fs::UniqueFd(::open((archive + kGame).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    };
    struct Case {
        const char* what;
        std::function<void()> before;  // before the check
        std::function<void()> during;  // after its first file
        fixity::FindingKind kind;      // of the file's finding; NoChecksum: none
        int good, notChecked, code;
    };
    const Case cases[] = {
        {"copied again, with its new line", [] {}, copyAgain, fixity::FindingKind::NoChecksum, 14, 0, 0},
        {"copied again, its line not yet written", [] {},
         [&] {
             const fs::UniqueFd folder = gameFolder();
             ASSERT_TRUE(fixity::ForgetChecksum(folder.Get(), name, 1000));
             WriteBytes(target, fresh);
         },
         fixity::FindingKind::ChangedDuringCheck, 13, 1, 3},
        {"its line written while the check runs",
         [&] {
             const fs::UniqueFd folder = gameFolder();
             ASSERT_TRUE(fixity::ForgetChecksum(folder.Get(), name, 1000));
             WriteBytes(target, fresh);
         },
         [&] {
             const fs::UniqueFd folder = gameFolder();
             ASSERT_TRUE(fixity::RecordChecksums(folder.Get(), {{name, Sha256::HexOf(fresh)}}, RecordMode::Replace, 1000));
         },
         fixity::FindingKind::NoChecksum, 14, 0, 0},
        {"changed without a new line", [] {}, [&] { WriteBytes(target, fresh); }, fixity::FindingKind::Changed, 13, 0,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MakeArchive();
        c.before();
        fixity::CheckOptions options;
        options.Root = archive;
        options.MaxRateMiBps = 0;
        fixity::ArchiveCheck check(options);
        bool told = false;
        ASSERT_TRUE(check.Run([&](const fixity::CheckProgress& progress) {
            if (told || progress.FilesDone != 1) return;
            told = true;
            c.during();
        }));
        ASSERT_TRUE(told);
        std::vector<fixity::FindingKind> kinds;
        for (const fixity::Finding& finding : check.Findings()) {
            EXPECT_EQ(finding.Path, QByteArray(kGame) + name);
            kinds.push_back(finding.Kind);
        }
        if (c.kind == fixity::FindingKind::NoChecksum) {
            EXPECT_TRUE(kinds.empty());
        } else {
            EXPECT_EQ(kinds, std::vector<fixity::FindingKind>{c.kind});
        }
        EXPECT_EQ(check.Summary().Good, c.good);
        EXPECT_EQ(check.Summary().NotChecked, c.notChecked);
        EXPECT_EQ(check.Summary().Changed, c.kind == fixity::FindingKind::Changed ? 1 : 0);
        EXPECT_EQ(check.Summary().NoChecksum, 0);
        EXPECT_EQ(check.ExitCode(), c.code);
    }
}

TEST_F(VerifyTest, OldGamesGetTheirChecksumsFromTheArchiveMarkedAsSuch) {
    HV_NEEDS(test::Tools({"sha256sum"}));
    // A game archived before checksums were kept, and a file added to a game that has them.
    ASSERT_EQ(::unlink((archive + kOldGame + "SHA256SUMS").constData()), 0);
    WriteBytes(archive + kGame + "cam1/3_1.mp4", "a third period");
    const Finished missing = Verify({});
    EXPECT_EQ(missing.code, 4);
    EXPECT_EQ(FindingLines(missing.out).size(), 8) << missing.out.toStdString();

    const Finished recorded = Verify({"--record-missing"});
    EXPECT_EQ(recorded.code, 0) << recorded.out.toStdString() << recorded.err.toStdString();
    const QList<QByteArray> lines = FindingLines(recorded.out);
    ASSERT_EQ(lines.size(), 8) << recorded.out.toStdString();
    for (const QByteArray& line : lines) {
        EXPECT_TRUE(line.startsWith("recorded: ")) << line.toStdString();
        EXPECT_TRUE(line.endsWith("SHA256SUMS: taken from the archive, not from the recording)")) << line.toStdString();
    }
    EXPECT_TRUE(lines.contains("recorded: " + QByteArray(kGame) + "cam1/3_1.mp4 (in " + kGame +
                               "SHA256SUMS: taken from the archive, not from the recording)"));
    // Each such line follows its note; sha256sum reads past the notes.
    const fixity::Manifest old = fixity::ParseManifest(test::ReadRawFile(archive + kOldGame + "SHA256SUMS"));
    int entries = 0;
    for (std::size_t i = 0; i < old.Lines.size(); ++i) {
        if (old.Lines[i].Type != fixity::ManifestLine::Kind::Entry) continue;
        ++entries;
        EXPECT_TRUE(old.FromArchive(i)) << old.Lines[i].Name.toStdString();
    }
    EXPECT_EQ(entries, 7);
    for (const char* game : {kGame, kOldGame}) {
        const Finished check = Sha256sumCheck(archive + game);
        EXPECT_EQ(check.code, 0) << check.out.toStdString() << check.err.toStdString();
    }
    // Nothing is left without a checksum, nothing is recorded twice.
    const auto before = Snapshot(archive);
    const Finished again = Verify({"--record-missing"});
    EXPECT_EQ(again.code, 0) << again.out.toStdString();
    EXPECT_TRUE(FindingLines(again.out).isEmpty()) << again.out.toStdString();
    EXPECT_EQ(Differences(before, Snapshot(archive)), "");
}

TEST_F(VerifyTest, TheConfiguredArchiveIsTheDefaultAndTheSettingsAreOnlyRead) {
    const QString settings = dir.filePath("config/Tervanix/Halvane.conf");
    ASSERT_TRUE(QDir().mkpath(dir.filePath("config/Tervanix")));
    WriteBytes(QFile::encodeName(settings), "[Settings]\nCopyToPath=" + archive.chopped(1) + "\n");
    const QByteArray settingsBefore = test::ReadRawFile(QFile::encodeName(settings));
    ASSERT_EQ(::unlink((archive + kGame + "1.xml").constData()), 0);
    const Finished run = Verify({}, false);
    EXPECT_EQ(run.code, 1) << run.out.toStdString() << run.err.toStdString();
    EXPECT_EQ(FindingLines(run.out),
              QList<QByteArray>{"missing: " + QByteArray(kGame) + "1.xml " + Where(kGame, "1.xml") + ")"});
    EXPECT_EQ(test::ReadRawFile(QFile::encodeName(settings)), settingsBefore);
    EXPECT_EQ(QDir(dir.filePath("config/Tervanix")).entryList(QDir::Files), QStringList{"Halvane.conf"});

    // No archive configured, or one that is not there: nothing could be checked.
    ASSERT_TRUE(QFile::remove(settings));
    const Finished none = Verify({}, false);
    EXPECT_EQ(none.code, 3);
    EXPECT_TRUE(none.err.contains("no archive folder given")) << none.err.toStdString();
    EXPECT_FALSE(QFile::exists(settings)) << "the settings are not made";
    const Finished gone = Verify({dir.filePath("no-such-archive")}, false);
    EXPECT_EQ(gone.code, 3);
    EXPECT_TRUE(gone.err.contains("is not there")) << gone.err.toStdString();
}

TEST_F(VerifyTest, ACommandLineItCannotUseEndsWithStatusTwo) {
    const QStringList wrong[] = {
        {"--since", "17.05.2024"}, {"--since"},       {"--max-rate", "fast"}, {"--max-rate", "-1"},
        {"--json"},                {"--frobnicate"},  {"two", "folders"},
    };
    for (const QStringList& arguments : wrong) {
        const Finished run = Verify(arguments, false);
        EXPECT_EQ(run.code, 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(run.err.contains("Try 'Halvane --verify-archive --help'")) << run.err.toStdString();
        EXPECT_TRUE(run.out.isEmpty());
    }
    const Finished help = Verify({"--help"}, false);
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(help.out.startsWith("Usage: Halvane --verify-archive [FOLDER] [options]\n"));
    EXPECT_TRUE(help.out.contains("sha256sum -c SHA256SUMS"));
    // The program's own help names the command.
    const Finished programHelp = RunProgram(QStringLiteral(HALVANE_PROGRAM), {"--help"}, {}, Environment());
    EXPECT_TRUE(programHelp.out.contains("--verify-archive")) << programHelp.out.toStdString();
}

// Progress on a terminal only: through a pseudo-terminal (script) it is shown, into a
// pipe (every run above) it is not.
TEST_F(VerifyTest, ProgressIsShownOnATerminal) {
    HV_NEEDS(test::Tools({"script"}));
    const QString command = QStringLiteral("'%1' --verify-archive '%2' --max-rate 0").arg(HALVANE_PROGRAM, QFile::decodeName(archive));
    const Finished run = RunProgram(QStringLiteral("script"), {"-q", "-e", "-c", command, "/dev/null"}, {}, Environment());
    EXPECT_EQ(run.code, 0) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("\rchecking: 14/14 files, ")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("/s")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("Result: all good (exit status 0)")) << run.out.toStdString();
}

}  // namespace
}  // namespace hv
