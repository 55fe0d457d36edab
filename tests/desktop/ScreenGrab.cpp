// Helper of the desktop tests: saves what an X display shows to a PNG file, all of the
// screen or the part given.
//   halvane_screen_grab <file.png> [x y width height]
// Ends with 0 when the picture was saved.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2 && argc != 6) return 2;
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return 1;
    int part[4] = {0, 0, -1, -1};
    for (int i = 0; argc == 6 && i < 4; ++i) part[i] = QByteArray(argv[2 + i]).toInt();
    const QPixmap shot = screen->grabWindow(0, part[0], part[1], part[2], part[3]);
    return !shot.isNull() && shot.save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
}
