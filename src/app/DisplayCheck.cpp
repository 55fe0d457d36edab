#include "app/DisplayCheck.h"

#include <QRegularExpression>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>

#include "app/CommandLine.h"

namespace hv {

namespace {

QtMessageHandler previousHandler = nullptr;
PlatformFailure* failure = nullptr;

// Qt's messages as before; a fatal one (the platform did not start) ends the program with
// what failed and its status instead of an abort.
void EndOnPlatformFailure(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (previousHandler != nullptr) {
        previousHandler(type, context, message);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
    if (failure != nullptr) failure->Note(message);
    if (type != QtFatalMsg) return;
    const QByteArray text = (failure != nullptr ? failure->Text() : PlatformFailure().Text()).toLocal8Bit();
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stderr);
    std::fflush(stderr);
    // Nothing has started yet that would need an orderly end.
    std::_Exit(kNoDisplay);
}

const QString kAdvice = QStringLiteral(
    "Its icon and menu need a desktop. Start it on one, or run it without a display with\n"
    "'Halvane --offscreen' (or '-platform offscreen'): it then serves the controller and\n"
    "follows the game the archive's refresh.csv names, without an icon.\n");

}  // namespace

bool NoDisplayNamed() {
    return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
           qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

QString NoDisplayText(const QString& cause) {
    return QStringLiteral("Halvane: no display: %1.\n").arg(cause) + kAdvice;
}

QString PlatformFailureText(const QString& problem) {
    return QStringLiteral("Halvane: %1.\n").arg(problem) + kAdvice;
}

void PlatformFailure::Note(const QString& message) {
    // The X platform: "could not connect to display :5"; Wayland: "Failed to create
    // wl_display (...)". Then the platform loader: 'Could not find the Qt platform plugin
    // "name" in ""', or 'Could not load the Qt platform plugin "name" in "" even though it
    // was found.'
    static const QRegularExpression xDisplay(QStringLiteral("could not connect to display ?(\\S*)"));
    static const QRegularExpression notFound(QStringLiteral("Could not find the Qt platform plugin \"([^\"]*)\""));
    static const QRegularExpression notLoaded(QStringLiteral("Could not load the Qt platform plugin \"([^\"]*)\""));
    if (const QRegularExpressionMatch match = xDisplay.match(message); match.hasMatch()) {
        displayFailed_ = true;
        displayNotOpened_ = match.captured(1);
    } else if (message.contains(QStringLiteral("Failed to create wl_display"))) {
        displayFailed_ = true;
        displayNotOpened_ = qEnvironmentVariable("WAYLAND_DISPLAY");
    } else if (const QRegularExpressionMatch match = notFound.match(message); match.hasMatch()) {
        pluginNotFound_ = match.captured(1);
    } else if (const QRegularExpressionMatch match = notLoaded.match(message); match.hasMatch()) {
        pluginNotStarted_ = match.captured(1);
    }
}

QString PlatformFailure::Text() const {
    if (displayFailed_) {
        return NoDisplayText(displayNotOpened_.isEmpty()
                                 ? QStringLiteral("the display could not be opened (Qt's message above)")
                                 : QStringLiteral("the display %1 could not be opened (Qt's message above)")
                                       .arg(displayNotOpened_));
    }
    if (!pluginNotFound_.isEmpty()) {
        return PlatformFailureText(
            QStringLiteral("the Qt platform plugin \"%1\" is not installed (Qt's message above)").arg(pluginNotFound_));
    }
    if (!pluginNotStarted_.isEmpty()) {
        return PlatformFailureText(
            QStringLiteral("the Qt platform plugin \"%1\" was found but could not start (Qt's message above)")
                .arg(pluginNotStarted_));
    }
    return PlatformFailureText(QStringLiteral("its platform could not start (Qt's message above)"));
}

PlatformFailureExit::PlatformFailureExit() {
    failure = &failure_;
    previousHandler = qInstallMessageHandler(EndOnPlatformFailure);
}

PlatformFailureExit::~PlatformFailureExit() {
    qInstallMessageHandler(previousHandler);
    previousHandler = nullptr;
    failure = nullptr;
}

QtArguments::QtArguments(int argc, char** argv, bool offscreen) {
    for (int i = 0; i < argc; ++i) {
        texts_.emplace_back(argv[i]);
        // Right after the program's name, ahead of anything a "--" might end.
        if (i == 0 && offscreen) {
            texts_.emplace_back("-platform");
            texts_.emplace_back("offscreen");
        }
    }
    for (std::string& text : texts_) pointers_.push_back(text.data());
    count_ = static_cast<int>(texts_.size());
    pointers_.push_back(nullptr);
}

}  // namespace hv
