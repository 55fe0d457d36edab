#pragma once
// Whether Halvane has a display to run on, and what it says when it has none. Without one
// Qt would end the program with SIGABRT while the application object is made; Halvane
// says what is wrong instead and ends with status kNoDisplay (CommandLine.h), unless it is
// asked to run on the offscreen platform (--offscreen).

#include <QString>
#include <string>
#include <vector>

namespace hv {

// True when nothing names a display or a platform: neither DISPLAY, WAYLAND_DISPLAY nor
// QT_QPA_PLATFORM is set. (A platform chosen on the command line is the caller's to see.)
bool NoDisplayNamed();

// What Halvane says on standard error when it has no display; `cause` says why.
QString NoDisplayText(const QString& cause);

// While it lives, a Qt platform that cannot start (a display that cannot be opened, a
// platform that is not there) ends the program with NoDisplayText and status kNoDisplay
// rather than an abort. Made around the application object's construction only: a fatal
// error later still aborts, as it should.
class PlatformFailureExit {
public:
    PlatformFailureExit();
    ~PlatformFailureExit();
    PlatformFailureExit(const PlatformFailureExit&) = delete;
    PlatformFailureExit& operator=(const PlatformFailureExit&) = delete;
};

// The program's arguments as the application object takes them, with "-platform
// offscreen" added when `offscreen`. Keeps them alive as long as the object (Qt keeps
// pointers into them).
class QtArguments {
public:
    QtArguments(int argc, char** argv, bool offscreen);
    int& Count() { return count_; }
    char** Values() { return pointers_.data(); }

private:
    std::vector<std::string> texts_;
    std::vector<char*> pointers_;
    int count_ = 0;
};

}  // namespace hv
