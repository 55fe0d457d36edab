#include "platform/QtMessageBoxes.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

namespace hv {

namespace {

// On the offscreen platform nobody sees a box: its text goes to standard error too, so that
// whoever started the program learns why it waits (until it is answered or the program is
// ended).
void SayWithoutADisplay(const QString& text) {
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) return;
    const QByteArray line =
        QStringLiteral("Halvane: a message box nobody can answer without a display (Halvane waits in it until it is ended):\n%1\n")
            .arg(text)
            .toLocal8Bit();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
}

}  // namespace

BoxAnswer QtMessageBoxes::Show(const QString& text, BoxIcon icon, BoxButtons buttons) {
    SayWithoutADisplay(text);
    // Owned by the dialog that is open (a workflow's progress dialog), if any.
    QMessageBox box(QApplication::activeModalWidget());
    box.setWindowTitle(QStringLiteral("Halvane"));
    box.setText(text);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    switch (icon) {
    case BoxIcon::Error: box.setIcon(QMessageBox::Critical); break;
    case BoxIcon::Warning: box.setIcon(QMessageBox::Warning); break;
    case BoxIcon::Question: box.setIcon(QMessageBox::Question); break;
    case BoxIcon::Information: box.setIcon(QMessageBox::NoIcon); break;
    }
    if (buttons == BoxButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        return box.exec() == QMessageBox::Yes ? BoxAnswer::Yes : BoxAnswer::No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return BoxAnswer::Ok;
}

}  // namespace hv
