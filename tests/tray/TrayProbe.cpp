// Helper of the desktop test: shows Halvane's icon the way the frame does (AddIcon, retried
// while refused) on a real X display, and reports on standard output:
//   "refused"  the first attempt was refused (no notification area yet)
//   "added"    the icon was accepted
//   "shown"    the notification area has embedded it (it has a place on the screen)
// then ends with 0; 1 when nothing of that happened within the time given (ms, argv[1]).
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "tray/SystemTray.h"

namespace {

class Owner : public hv::ITrayMenuOwner {
public:
    hv::CommandState QueryCommandState(unsigned) override { return {}; }
    void OnMenuCommand(unsigned) override {}
};

void Say(const char* what) {
    std::printf("%s\n", what);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int timeoutMs = argc > 1 ? std::atoi(argv[1]) : 30000;
    Owner owner;
    hv::CSystemTray tray(owner);
    bool refusedOnce = false;
    QElapsedTimer elapsed;
    elapsed.start();

    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (elapsed.elapsed() > timeoutMs) {
            Say("timeout");
            app.exit(1);
            return;
        }
        if (!tray.IsAdded()) {
            if (tray.AddIcon(QStringLiteral("Halvane"))) {
                Say("added");
                tray.SetStateIcon(5);
                tray.SetTooltip(QStringLiteral("Halvane\nRunning"));
            } else if (!refusedOnce) {
                refusedOnce = true;
                Say("refused");
            }
            return;
        }
        const QRect place = tray.IconGeometry();
        if (place.isValid() && !place.isEmpty()) {
            Say("shown");
            app.exit(0);
        }
    });
    timer.start(200);
    return app.exec();
}
