#include "platform/QtMessageBoxes.h"

#include <QApplication>
#include <QMessageBox>

namespace hv {

BoxAnswer QtMessageBoxes::Show(const QString& text, BoxIcon icon, BoxButtons buttons) {
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
