#include "workflow/ShowProgress.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QTimerEvent>
#include <QVBoxLayout>

#include "language/Language.h"
#include "platform/Trace.h"

namespace hv {

CShowProgress::CShowProgress(IWorkflowSteps* owner, unsigned titleId, int kind, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::WindowStaysOnTopHint),
      Owner(owner),
      TitleId(titleId),
      Kind(kind) {
    setObjectName(QStringLiteral("ShowProgress"));
    setWindowTitle(QStringLiteral("Show Progress"));
    setModal(true);
    stepText_ = new QLabel(QStringLiteral("Step 1/10"), this);
    stepText_->setObjectName(QStringLiteral("StepText"));
    stepText_->setMinimumWidth(320);
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("Progress"));
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(stepText_);
    layout->addWidget(progress_);
    InitDialog();
}

CShowProgress::~CShowProgress() {
    if (timer_ != 0) killTimer(timer_);
}

void CShowProgress::InitDialog() {
    setWindowTitle(LoadStringOrMark(TitleId));
    SetStepText(QString());
    SetProgress(0);
}

void CShowProgress::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The ticks start when the dialog is shown: the first comes one period later.
    if (timer_ == 0) timer_ = startTimer(kTickMs, Qt::PreciseTimer);
    raise();
    activateWindow();
}

void CShowProgress::SetStepText(const QString& text) {
    stepText_->setText(text);
    Trace(text + u'\n');
}

void CShowProgress::SetProgress(int position) { progress_->setValue(position); }

QString CShowProgress::StepText() const { return stepText_->text(); }

int CShowProgress::Progress() const { return progress_->value(); }

void CShowProgress::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timer_) {
        QDialog::timerEvent(event);
        return;
    }
    // A step that shows a message box runs its loop inside this call; the ticks that fall
    // meanwhile do nothing.
    if (Busy) return;
    Busy = true;
    const bool goOn = Owner != nullptr && Owner->RunWorkflowStep(Kind, Step, Deadline, *this);
    if (!goOn) End();
    Busy = false;
}

void CShowProgress::End() {
    if (timer_ != 0) killTimer(timer_);
    timer_ = 0;
    done(QDialog::Rejected);
}

void CShowProgress::closeEvent(QCloseEvent* event) {
    // Only the workflow ends the dialog (through done()).
    if (isVisible() && timer_ != 0) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

}  // namespace hv
