#pragma once
// What a test needs from the machine it runs on: a virtual desktop, root, a tool. Where the
// test command requires the thing (scripts/test.sh installs every tool, runs as root and
// says so in HALVANE_REQUIRE_DESKTOP, HALVANE_REQUIRE_TOOLS and HALVANE_REQUIRE_ROOT), a
// test whose need is not met FAILS; elsewhere it is skipped, and the program reports the
// skip so that CTest counts it as skipped, never as passed.
//
//   HV_NEEDS(hv::test::Tools({"fakeroot"}));
//   HV_NEEDS(hv::test::Root("mounts a tmpfs"));
//
// HV_NEEDS returns from the function it is used in (a test body or a void helper); what is
// missing goes into the Need's text (nothing may be streamed after the macro).

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace hv::test {

enum class Requirement { Desktop, Root, Tools };

// One need of a test: met, or what is missing.
class Need {
public:
    Need(Requirement kind, std::string missing) : kind_(kind), missing_(std::move(missing)) {}

    bool IsMet() const { return missing_.empty(); }
    // Whether the test command requires this kind of thing (its environment says so).
    bool IsRequired() const;
    // "needs root: mounts a tmpfs" and, where required, who requires it.
    std::string Message() const;
    // Records that the running test is skipped for this need (see RunAllTests); the
    // message.
    std::string NoteSkip() const;

private:
    Requirement kind_;
    std::string missing_;
};

bool IsRequired(Requirement kind);

// The tools among `tools` that are not on PATH.
Need Tools(std::initializer_list<const char*> tools);
// Root (effective user 0), for `why`.
Need Root(const char* why);
// The tools a test on a virtual X display drives it with (Xvfb, xdotool, xprop, trayer)
// and `more` of them.
Need DesktopTools(std::initializer_list<const char*> more = {});
// A part of the virtual desktop that did not come up ("the virtual X server did not
// start"), counted as the desktop's need.
Need DesktopStarted(bool started, const char* what);

// Runs every test (after InitGoogleTest and the application object). Skips are told on
// standard output: a program with skips and no failure ends with the line
// "halvane-test: N skipped, none failed" (the test macro's skip expression), and a skip
// that did not come through HV_NEEDS fails the program, so that nothing passes by skipping
// unseen.
int RunAllTests();

}  // namespace hv::test

#define HV_NEEDS(need)                                              \
    if (const ::hv::test::Need hvNeed_ = (need); hvNeed_.IsMet()) { \
    } else if (hvNeed_.IsRequired())                                \
        FAIL() << hvNeed_.Message();                                \
    else                                                            \
        GTEST_SKIP() << hvNeed_.NoteSkip()
