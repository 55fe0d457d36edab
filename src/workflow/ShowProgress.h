#pragma once
// CShowProgress: the modal dialog a workflow runs in. A 100 ms timer calls the workflow's
// step function, which does at most one step per tick and says whether to go on; the GUI
// thread keeps handling everything else meanwhile. Enter, Escape and the close box do
// nothing: a workflow ends only when its step function says so. GUI thread.

#include <QDialog>
#include <cstdint>

class QLabel;
class QProgressBar;

namespace hv {

class CShowProgress;

// The workflow kinds, each with its step function.
enum WorkflowKind : int {
    kArchiveGame = 0,
    kStartNewGame = 1,
    kStopGame = 2,
    kStartArchivedGame = 3,
};

// Who runs the steps (the main frame; tests bring workflows of their own).
class IWorkflowSteps {
public:
    virtual ~IWorkflowSteps() = default;
    // Runs one step of workflow `kind`: true to be called again on the next tick, false
    // to close the dialog. Any other kind returns false.
    virtual bool RunWorkflowStep(int kind, std::int32_t& step, std::uint32_t& deadline,
                                 CShowProgress& dialog) = 0;
};

class CShowProgress final : public QDialog {
    Q_OBJECT
public:
    static constexpr int kTimerId = 101;
    static constexpr int kTickMs = 100;

    CShowProgress(IWorkflowSteps* owner, unsigned titleId, int kind, QWidget* parent = nullptr);
    ~CShowProgress() override;

    // Shows the text of the current step (and traces it).
    void SetStepText(const QString& text);
    // Sets the progress bar, 0 to 100.
    void SetProgress(int position);
    // Ends the dialog without another step, whatever the workflow: the program is closing.
    void End();

    QString StepText() const;
    int Progress() const;

    // The dialog's state, in the order the workflow runner keeps it.
    IWorkflowSteps* const Owner;
    const unsigned TitleId;
    const int Kind;
    std::int32_t Step = 0;
    std::uint32_t Deadline = 0;
    bool Busy = false;

    // Enter, Escape and the close box leave the dialog open.
    void accept() override {}
    void reject() override {}

protected:
    void showEvent(QShowEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void InitDialog();

    QLabel* stepText_ = nullptr;
    QProgressBar* progress_ = nullptr;
    int timer_ = 0;
};

}  // namespace hv
