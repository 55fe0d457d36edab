// Ostrimund, the storage manager stand-in: a small window in which the operator archives
// the game, and which runs until it is closed. It takes no arguments and holds no queue.
//
// For tests and demonstrations it also ends
//   - on SIGTERM, SIGINT or SIGHUP (the default),
//   - after OSTRIMUND_EXIT_AFTER_MS milliseconds,
//   - as soon as the file OSTRIMUND_EXIT_FILE exists.
// The two values may instead be given as "exitAfterMs" and "exitFile" in Ostrimund.conf
// next to the program. Standard output: "ready" once the window is shown.
#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>

namespace {

QString Setting(const char* variable, const char* key) {
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty()) return value;
    const QString conf = QCoreApplication::applicationDirPath() + QStringLiteral("/Ostrimund.conf");
    if (!QFileInfo::exists(conf)) return {};
    return QSettings(conf, QSettings::IniFormat).value(QLatin1StringView(key)).toString();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (app.arguments().size() > 1) {
        std::fputs("usage: Ostrimund\n", stderr);
        return 2;
    }

    QWidget window;
    window.setWindowTitle(QStringLiteral("Ostrimund"));
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("Storage manager\n\nArchive the game, then close this window."), &window));
    auto* close = new QPushButton(QStringLiteral("Close"), &window);
    QObject::connect(close, &QPushButton::clicked, &window, &QWidget::close);
    layout->addWidget(close);
    window.show();

    bool ok = false;
    const int exitAfterMs = Setting("OSTRIMUND_EXIT_AFTER_MS", "exitAfterMs").toInt(&ok);
    if (ok && exitAfterMs >= 0) QTimer::singleShot(exitAfterMs, &window, &QWidget::close);

    const QString exitFile = Setting("OSTRIMUND_EXIT_FILE", "exitFile");
    QTimer watch;
    if (!exitFile.isEmpty()) {
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (QFileInfo::exists(exitFile)) window.close();
        });
        watch.start(100);
    }

    std::puts("ready");
    std::fflush(stdout);
    return app.exec();
}
