#pragma once
// Whether Halvane has a display to run on, and what it says when it has none. Without one
// (or when its platform cannot start) Qt would end the program with SIGABRT while the
// application object is made; Halvane says what failed instead and ends with status
// kNoDisplay (CommandLine.h), unless it is asked to run on the offscreen platform
// (--offscreen).

#include <QString>
#include <string>
#include <vector>

namespace hv {

// True when nothing names a display or a platform: neither DISPLAY, WAYLAND_DISPLAY nor
// QT_QPA_PLATFORM is set. (A platform chosen on the command line is the caller's to see.)
bool NoDisplayNamed();

// What Halvane says on standard error when it has no display; `cause` says why.
QString NoDisplayText(const QString& cause);
// What it says when its platform could not start; `problem` says what failed.
QString PlatformFailureText(const QString& problem);

// What Qt said before a fatal platform failure, gathered from its messages, and what
// Halvane says about it: the display that could not be opened, the platform plugin that
// was not found, or the one that was found but could not start.
class PlatformFailure {
public:
    // Notes what one of Qt's messages tells about the platform's start.
    void Note(const QString& message);
    // The text for standard error once the platform has failed.
    QString Text() const;

private:
    QString displayNotOpened_;  // the display named, when the connection to it failed
    bool displayFailed_ = false;
    QString pluginNotFound_;
    QString pluginNotStarted_;
};

// While it lives, a Qt platform that cannot start (a display that cannot be opened, a
// platform plugin that is not there or cannot start) ends the program with what failed
// (PlatformFailure) and status kNoDisplay rather than an abort. Made around the
// application object's construction only: a fatal error later still aborts, as it should.
class PlatformFailureExit {
public:
    PlatformFailureExit();
    ~PlatformFailureExit();
    PlatformFailureExit(const PlatformFailureExit&) = delete;
    PlatformFailureExit& operator=(const PlatformFailureExit&) = delete;

private:
    PlatformFailure failure_;
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
