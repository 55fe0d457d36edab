// The user's runtime folder: $XDG_RUNTIME_DIR when it is fit for use, a folder made for the
// user when it is not set, and nothing (with the reason) when what is there could be another
// user's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cerrno>

#include "Requirements.h"
#include "platform/RuntimeFolder.h"

namespace hv {
namespace {

// Sets the variables of one case and puts back what was there.
class Variables {
public:
    ~Variables() {
        for (const auto& [name, value] : saved_) {
            if (value.isNull())
                qunsetenv(name.constData());
            else
                qputenv(name.constData(), value);
        }
    }
    void Set(const char* name, const QString& value) {
        Keep(name);
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, QFile::encodeName(value));
    }

private:
    void Keep(const char* name) {
        for (const auto& kept : saved_)
            if (kept.first == name) return;
        saved_.push_back({name, qEnvironmentVariableIsSet(name) ? qgetenv(name) : QByteArray()});
    }
    std::vector<std::pair<QByteArray, QByteArray>> saved_;
};

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

TEST(RuntimeFolder, TheSessionsFolderIsUsedWhenItIsTheUsersAlone) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString runtime = dir.filePath("runtime");
    ASSERT_TRUE(QDir().mkpath(runtime));
    ASSERT_EQ(::chmod(QFile::encodeName(runtime).constData(), 0700), 0);
    Variables variables;
    variables.Set("XDG_RUNTIME_DIR", runtime);
    EXPECT_EQ(UserRuntimeFolder(), runtime.toStdString());
    const std::string sub = PrivateSubfolder(runtime.toStdString(), "zandrel-queues");
    EXPECT_EQ(sub, runtime.toStdString() + "/zandrel-queues");
    EXPECT_EQ(ModeOf(sub), 0700u);
}

TEST(RuntimeFolder, WithoutASessionAFolderOfTheUsersOwnIsMade) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    Variables variables;
    variables.Set("XDG_RUNTIME_DIR", QString());
    variables.Set("XDG_CACHE_HOME", dir.filePath("cache"));
    const std::string folder = UserRuntimeFolder();
    EXPECT_EQ(folder, dir.filePath("cache/zandrel-runtime").toStdString());
    EXPECT_EQ(ModeOf(folder), 0700u);
    EXPECT_EQ(UserRuntimeFolder(), folder) << "found again";
    // Without a cache folder named: the home folder's.
    variables.Set("XDG_CACHE_HOME", QString());
    variables.Set("HOME", dir.filePath("home"));
    ASSERT_TRUE(QDir().mkpath(dir.filePath("home")));
    EXPECT_EQ(UserRuntimeFolder(), dir.filePath("home/.cache/zandrel-runtime").toStdString());
}

TEST(RuntimeFolder, AFolderOthersMayEnterOrThatIsALinkIsRefused) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString open = dir.filePath("open");
    const QString real = dir.filePath("real");
    const QString link = dir.filePath("link");
    ASSERT_TRUE(QDir().mkpath(open));
    ASSERT_TRUE(QDir().mkpath(real));
    ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(real).constData(), 0700), 0);
    ASSERT_TRUE(QFile::link(real, link));
    struct Case {
        const char* name;
        QString runtime;
        const char* why;
    } cases[] = {
        {"others may enter", open, "may be entered by other users"},
        {"a link", link, "is not a folder"},
        {"not absolute", QStringLiteral("relative/runtime"), "is not an absolute path"},
        {"missing", dir.filePath("missing"), "No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Variables variables;
        variables.Set("XDG_RUNTIME_DIR", c.runtime);
        std::string why;
        errno = 0;
        EXPECT_EQ(UserRuntimeFolder(&why), std::string());
        EXPECT_NE(errno, 0);
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
    // A subfolder that is a link is refused the same way.
    ASSERT_TRUE(QFile::link(open, real + "/sub"));
    std::string why;
    EXPECT_EQ(PrivateSubfolder(real.toStdString(), "sub", &why), std::string());
    EXPECT_FALSE(why.empty());
}

TEST(RuntimeFolder, AFolderOfAnotherUserIsRefused) {
    HV_NEEDS(test::Root("makes a folder of another user"));
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString theirs = dir.filePath("theirs");
    ASSERT_TRUE(QDir().mkpath(theirs));
    ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(theirs).constData(), 0700), 0);
    Variables variables;
    variables.Set("XDG_RUNTIME_DIR", theirs);
    std::string why;
    EXPECT_EQ(UserRuntimeFolder(&why), std::string());
    EXPECT_NE(why.find("belongs to user 65534"), std::string::npos) << why;
    // Nor is a fallback folder someone else put in the way.
    variables.Set("XDG_RUNTIME_DIR", QString());
    variables.Set("XDG_CACHE_HOME", dir.path());
    ASSERT_TRUE(QDir().mkpath(dir.filePath("zandrel-runtime")));
    ASSERT_EQ(::chown(QFile::encodeName(dir.filePath("zandrel-runtime")).constData(), 65534, 65534), 0);
    EXPECT_EQ(UserRuntimeFolder(&why), std::string());
    EXPECT_NE(why.find("belongs to user 65534"), std::string::npos) << why;
}

TEST(RuntimeFolder, NamesBecomeOneSafePathComponent) {
    const struct {
        const char* text;
        const char* component;
    } cases[] = {
        {"Vortamo1", "Vortamo1"},
        {"halvane-test-12", "halvane-test-12"},
        {"", "_"},
        {"_", "%5F"},
        {"..", "%2E%2E"},
        {"a/b", "a%2Fb"},
        {"Дравенор", "%D0%94%D1%80%D0%B0%D0%B2%D0%B5%D0%BD%D0%BE%D1%80"},
    };
    for (const auto& c : cases) EXPECT_EQ(PathComponentFor(c.text), c.component) << c.text;
}

}  // namespace
}  // namespace hv
