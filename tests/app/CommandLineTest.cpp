// The program's command line: help and version, Qt's own options, what is ignored with a
// warning and what is refused; and what the program says when its platform cannot start.
#include <gtest/gtest.h>

#include "app/CommandLine.h"
#include "app/DisplayCheck.h"
#include "ScopedEnvironment.h"

namespace hv {
namespace {

struct CommandLineCase {
    const char* name;
    QStringList arguments;  // after the program's path
    bool run;
    int exitCode;
    const char* output;  // part of standard output, or empty
    const char* error;   // part of standard error, or empty
    bool offscreen = false;       // --offscreen asked for (when it runs)
    bool platformChosen = false;  // Qt's -platform or -display given (when it runs)
};

class ReadCommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(ReadCommandLineTest, Outcome) {
    const CommandLineCase& c = GetParam();
    const CommandLineOutcome outcome =
        ReadCommandLine(QStringList{QStringLiteral("/usr/lib/halvane/Halvane")} + c.arguments);
    EXPECT_EQ(outcome.Run, c.run);
    if (!c.run) {
        EXPECT_EQ(outcome.ExitCode, c.exitCode);
    } else {
        EXPECT_EQ(outcome.Offscreen, c.offscreen);
        EXPECT_EQ(outcome.PlatformChosen, c.platformChosen);
    }
    if (*c.output != '\0') {
        EXPECT_TRUE(outcome.Output.contains(QString::fromUtf8(c.output)))
            << outcome.Output.toStdString();
    } else {
        EXPECT_TRUE(outcome.Output.isEmpty()) << outcome.Output.toStdString();
    }
    if (*c.error != '\0') {
        EXPECT_TRUE(outcome.Error.contains(QString::fromUtf8(c.error)))
            << outcome.Error.toStdString();
    } else {
        EXPECT_TRUE(outcome.Error.isEmpty()) << outcome.Error.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, ReadCommandLineTest,
    ::testing::Values(
        CommandLineCase{"None", {}, true, 0, "", ""},
        CommandLineCase{"Help", {"--help"}, false, 0, "Usage: Halvane [options]", ""},
        CommandLineCase{"ShortHelp", {"-h"}, false, 0, "-v, --version", ""},
        CommandLineCase{"HelpAmongQtOptions",
                        {"-platform", "offscreen", "--help"},
                        false,
                        0,
                        "Tervanix/Halvane.conf",
                        ""},
        CommandLineCase{"Version", {"--version"}, false, 0, "Halvane " HALVANE_VERSION "\n", ""},
        CommandLineCase{"ShortVersion", {"-v"}, false, 0, "Halvane " HALVANE_VERSION, ""},
        // Qt reads these itself: they start the program as before.
        CommandLineCase{"QtPlatform", {"-platform", "offscreen"}, true, 0, "", "", false, true},
        CommandLineCase{"QtPlatformDoubleDash", {"--platform", "xcb"}, true, 0, "", "", false, true},
        CommandLineCase{"QtPlatformWithEquals", {"-platform=offscreen"}, true, 0, "", "", false, true},
        CommandLineCase{"QtPlatformStyleReverse",
                        {"-platform", "offscreen", "-style", "fusion", "-reverse"},
                        true,
                        0,
                        "",
                        "",
                        false,
                        true},
        CommandLineCase{"QtDisplayAndStyle",
                        {"-display", ":7", "-style=fusion", "-reverse"},
                        true,
                        0,
                        "",
                        "",
                        false,
                        true},
        CommandLineCase{
            "QtGeometry", {"-qwindowgeometry", "100x100+0+0", "-nograb"}, true, 0, "", ""},
        CommandLineCase{"QtWidgetOptions",
                        {"-testability", "-widgetcount", "-stylesheet", "a.qss", "-session", "s1"},
                        true,
                        0,
                        "",
                        ""},
        CommandLineCase{"QtX11Options",
                        {"-geometry", "10x10", "-title", "T", "-name", "N", "-visual", "V", "-sync"},
                        true,
                        0,
                        "",
                        ""},
        CommandLineCase{"QtPluginOptions",
                        {"-platformpluginpath", "/p", "-platformtheme", "gtk3", "-plugin", "evdev",
                         "-qwindowicon", "i.png", "-qwindowtitle", "T", "-qmljsdebugger=port:1"},
                        true,
                        0,
                        "",
                        ""},
        // A Qt option's value is its own, even when it looks like an option.
        CommandLineCase{"QtValueLikeAnOption", {"-style", "--help"}, true, 0, "", ""},
        // Other arguments were never used and still are not; unknown options are said.
        CommandLineCase{"Positional", {"Embedding", "file.txt"}, true, 0, "", ""},
        CommandLineCase{
            "UnknownLong", {"--bogus"}, true, 0, "", "unknown option '--bogus' ignored"},
        CommandLineCase{"UnknownSingleDash", {"-x"}, true, 0, "", "Halvane: unknown option '-x'"},
        CommandLineCase{"UnknownAmongQtOptions",
                        {"-platform", "offscreen", "-frobnicate", "-reverse"},
                        true,
                        0,
                        "",
                        "unknown option '-frobnicate' ignored",
                        false,
                        true},
        CommandLineCase{"UnknownBeforeHelp",
                        {"--bogus", "--help"},
                        false,
                        0,
                        "Usage: Halvane [options]",
                        "unknown option '--bogus' ignored"},
        CommandLineCase{"QtOptionWithoutValue",
                        {"-platform"},
                        true,
                        0,
                        "",
                        "'-platform' needs a value; ignored"},
        CommandLineCase{"AfterDoubleDash", {"--", "--help"}, true, 0, "", ""},
        // Without a display: the offscreen platform, asked for by the program's own option.
        CommandLineCase{"Offscreen", {"--offscreen"}, true, 0, "", "", true, false},
        CommandLineCase{"OffscreenAmongQtOptions", {"-style", "fusion", "--offscreen"}, true, 0, "", "", true, false},
        CommandLineCase{"HelpNamesOffscreenAndTheExitStatuses", {"--help"}, false, 0, "3 without a display", ""},
        CommandLineCase{"HelpNamesTheStatusOfAFailedStart", {"--help"}, false, 0, "1 when it could not start", ""},
        CommandLineCase{"HelpSaysWhatAMessageWithoutADisplayDoes",
                        {"--help"},
                        false,
                        0,
                        "There a message nobody can answer is written to standard error",
                        ""},
        CommandLineCase{"HelpDescribesOffscreen", {"--help"}, false, 0, "--offscreen", ""},
        CommandLineCase{"OffscreenWithAPlatform",
                        {"--offscreen", "-platform", "xcb"},
                        false,
                        kCommandLineError,
                        "",
                        "--offscreen chooses the platform itself"},
        CommandLineCase{"OffscreenWithADisplay",
                        {"-display", ":0", "--offscreen"},
                        false,
                        kCommandLineError,
                        "",
                        "--offscreen chooses the platform itself"},
        CommandLineCase{"ValueToOffscreen",
                        {"--offscreen=yes"},
                        false,
                        kCommandLineError,
                        "",
                        "Unexpected value after '--offscreen'"},
        // A misuse of the program's own options ends it.
        CommandLineCase{"ValueToAFlag",
                        {"--version=2"},
                        false,
                        kCommandLineError,
                        "",
                        "Unexpected value after '--version'"}),
    [](const ::testing::TestParamInfo<CommandLineCase>& info) { return info.param.name; });

TEST(PlatformFailureTest, NamesWhatFailedFromQtsMessages) {
    // Qt's messages as its platforms give them before the fatal one.
    const QString fatal = QStringLiteral(
        "This application failed to start because no Qt platform plugin could be initialized. Reinstalling "
        "the application may fix this problem.");
    const struct {
        const char* name;
        QStringList messages;
        QString said;
    } cases[] = {
        {"an X display that cannot be opened",
         {QStringLiteral("could not connect to display :4711"),
          QStringLiteral("Could not load the Qt platform plugin \"xcb\" in \"\" even though it was found."), fatal},
         QStringLiteral("Halvane: no display: the display :4711 could not be opened (Qt's message above).\n")},
        {"a Wayland display that cannot be opened",
         {QStringLiteral("Failed to create wl_display (No such file or directory)"),
          QStringLiteral("Could not load the Qt platform plugin \"wayland\" in \"\" even though it was found."), fatal},
         QStringLiteral("Halvane: no display: the display wayland-9 could not be opened (Qt's message above).\n")},
        {"a platform plugin that is not there",
         {QStringLiteral("Could not find the Qt platform plugin \"nosuch\" in \"\""), fatal},
         QStringLiteral("Halvane: the Qt platform plugin \"nosuch\" is not installed (Qt's message above).\n")},
        {"a platform plugin that cannot start",
         {QStringLiteral("Could not load the Qt platform plugin \"linuxfb\" in \"\" even though it was found."), fatal},
         QStringLiteral(
             "Halvane: the Qt platform plugin \"linuxfb\" was found but could not start (Qt's message above).\n")},
        {"nothing said before", {fatal}, QStringLiteral("Halvane: its platform could not start (Qt's message above).\n")},
    };
    test::ScopedEnvironment environment;
    environment.Set("WAYLAND_DISPLAY", "wayland-9");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PlatformFailure failure;
        for (const QString& message : c.messages) failure.Note(message);
        const QString text = failure.Text();
        EXPECT_TRUE(text.startsWith(c.said)) << text.toStdString();
        EXPECT_TRUE(text.contains(QStringLiteral("'Halvane --offscreen'"))) << text.toStdString();
    }
}

TEST(PlatformFailureTest, NoDisplayNamedSaysSo) {
    EXPECT_TRUE(NoDisplayText(QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set"))
                    .startsWith(QStringLiteral("Halvane: no display: neither DISPLAY nor WAYLAND_DISPLAY is set.\n")));
}

}  // namespace
}  // namespace hv
