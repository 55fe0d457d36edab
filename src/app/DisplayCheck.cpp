#include "app/DisplayCheck.h"

#include <QtGlobal>
#include <cstdio>
#include <cstdlib>

#include "app/CommandLine.h"

namespace hv {

namespace {

QtMessageHandler previousHandler = nullptr;

// Qt's messages as before; a fatal one (the platform did not start) ends the program with
// its status instead of an abort.
void EndOnPlatformFailure(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (previousHandler != nullptr) {
        previousHandler(type, context, message);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
    if (type != QtFatalMsg) return;
    const QByteArray text =
        NoDisplayText(QStringLiteral("the display could not be opened (Qt's message above)")).toLocal8Bit();
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stderr);
    std::fflush(stderr);
    // Nothing has started yet that would need an orderly end.
    std::_Exit(kNoDisplay);
}

}  // namespace

bool NoDisplayNamed() {
    return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
           qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

QString NoDisplayText(const QString& cause) {
    return QStringLiteral(
               "Halvane: no display: %1.\n"
               "Its icon and menu need a desktop. Start it on one, or run it without a display with\n"
               "'Halvane --offscreen' (or '-platform offscreen'): it then serves the controller and\n"
               "follows the game the archive's refresh.csv names, without an icon.\n")
        .arg(cause);
}

PlatformFailureExit::PlatformFailureExit() { previousHandler = qInstallMessageHandler(EndOnPlatformFailure); }

PlatformFailureExit::~PlatformFailureExit() {
    qInstallMessageHandler(previousHandler);
    previousHandler = nullptr;
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
