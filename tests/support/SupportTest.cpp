// The test support's own promises: a scoped environment leaves the process's environment
// as it found it, and a need says what is missing and whether the test command requires it.
#include <gtest/gtest.h>

#include "Requirements.h"
#include "ScopedEnvironment.h"

namespace hv::test {
namespace {

TEST(ScopedEnvironment, RestoresEveryVariableAsItWasWhateverHappenedInBetween) {
    qputenv("HALVANE_SUPPORT_SET", "before");
    qunsetenv("HALVANE_SUPPORT_UNSET");
    qputenv("HALVANE_SUPPORT_EMPTY", "");
    qputenv("HALVANE_SUPPORT_KEPT", "kept");
    {
        ScopedEnvironment scoped{{"HALVANE_SUPPORT_SET", "during"}, {"HALVANE_SUPPORT_EMPTY", nullptr}};
        scoped.Set("HALVANE_SUPPORT_UNSET", "during");
        scoped.Set("HALVANE_SUPPORT_SET", "again");  // set twice: ends as it was first
        scoped.Keep("HALVANE_SUPPORT_KEPT");
        qputenv("HALVANE_SUPPORT_KEPT", "changed by someone else");
        EXPECT_EQ(qgetenv("HALVANE_SUPPORT_SET"), "again");
        EXPECT_EQ(qgetenv("HALVANE_SUPPORT_UNSET"), "during");
        EXPECT_FALSE(qEnvironmentVariableIsSet("HALVANE_SUPPORT_EMPTY"));
    }
    EXPECT_EQ(qgetenv("HALVANE_SUPPORT_SET"), "before");
    EXPECT_FALSE(qEnvironmentVariableIsSet("HALVANE_SUPPORT_UNSET"));
    EXPECT_TRUE(qEnvironmentVariableIsSet("HALVANE_SUPPORT_EMPTY")) << "set but empty stays set";
    EXPECT_EQ(qgetenv("HALVANE_SUPPORT_KEPT"), "kept");
    for (const char* name : {"HALVANE_SUPPORT_SET", "HALVANE_SUPPORT_EMPTY", "HALVANE_SUPPORT_KEPT"}) qunsetenv(name);
}

TEST(Need, SaysWhatIsMissingAndWhetherTheTestCommandRequiresIt) {
    EXPECT_TRUE(Tools({"sh"}).IsMet());
    EXPECT_TRUE(DesktopStarted(true, "the virtual X server did not start").IsMet());
    const struct {
        Need need;
        const char* variable;
        const char* message;
    } cases[] = {
        {Tools({"sh", "halvane-no-such-tool", "halvane-nor-this"}), "HALVANE_REQUIRE_TOOLS",
         "needs tools: halvane-no-such-tool, halvane-nor-this not installed"},
        {DesktopStarted(false, "the virtual X server did not start"), "HALVANE_REQUIRE_DESKTOP",
         "needs a virtual desktop: the virtual X server did not start"},
        {Need(Requirement::Root, "mounts a tmpfs"), "HALVANE_REQUIRE_ROOT", "needs root: mounts a tmpfs"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_FALSE(c.need.IsMet());
        {
            const ScopedEnvironment notRequired{{c.variable, nullptr}};
            EXPECT_FALSE(c.need.IsRequired());
            EXPECT_EQ(c.need.Message(), c.message);
        }
        const ScopedEnvironment required{{c.variable, "1"}};
        EXPECT_TRUE(c.need.IsRequired());
        EXPECT_EQ(c.need.Message(), std::string(c.message) + " (required here: " + c.variable + "=1)");
    }
}

}  // namespace
}  // namespace hv::test
