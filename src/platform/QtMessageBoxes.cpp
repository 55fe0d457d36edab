#include "platform/QtMessageBoxes.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

namespace hv {

namespace {

// True on a platform where no person sees a window.
bool NobodyCanAnswer() { return QGuiApplication::platformName() == QLatin1String("offscreen"); }

// The box's text on standard error, with the answer taken in its place.
void SayUnattended(const QString& text, BoxAnswer answer) {
    const char* answerName = answer == BoxAnswer::No ? "No" : answer == BoxAnswer::Yes ? "Yes" : "OK";
    const QByteArray line =
        QStringLiteral("Halvane: a message nobody can answer without a display, taken as %1:\n%2\n")
            .arg(QLatin1String(answerName), text)
            .toLocal8Bit();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
}

}  // namespace

BoxAnswer QtMessageBoxes::Show(const QString& text, BoxIcon icon, BoxButtons buttons) {
    if (NobodyCanAnswer()) {
        const BoxAnswer answer = UnattendedAnswer(buttons);
        SayUnattended(text, answer);
        return answer;
    }
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
        // Closed without a choice (Escape, or a termination signal), a question is No.
        box.setEscapeButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes ? BoxAnswer::Yes : BoxAnswer::No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return BoxAnswer::Ok;
}

}  // namespace hv
