#include "settings/FilePrompt.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include "language/Language.h"

namespace hv {

namespace {

// The desktop's file dialog with the "path must exist" rule: a name may be typed freely,
// but its folder must be there.
class FolderFileDialog final : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

protected:
    void accept() override {
        const QStringList files = selectedFiles();
        if (!files.isEmpty()) {
            const QFileInfo chosen(files.first());
            if (!chosen.isDir() && !QFileInfo(chosen.absolutePath()).isDir()) {
                QMessageBox::warning(this, windowTitle(),
                                     QDir::toNativeSeparators(chosen.absolutePath()) +
                                         QStringLiteral("\n\n") +
                                         LoadUiText("The folder does not exist."));
                return;
            }
        }
        QFileDialog::accept();
    }
};

}  // namespace

QString QtFilePrompt::Ask(FilePromptKind kind, const QString& startFile, QWidget* parent) {
    FolderFileDialog dialog(parent);
    dialog.setAcceptMode(kind == FilePromptKind::Open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setDefaultSuffix(QStringLiteral("mp4"));
    dialog.setNameFilter(LoadUiText("Vortamo files (*.mp4)"));
    dialog.setSizeGripEnabled(true);
    const QFileInfo start(startFile);
    dialog.setDirectory(start.absolutePath());
    dialog.selectFile(start.fileName());
    if (dialog.exec() != QDialog::Accepted) return {};
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : QDir::toNativeSeparators(files.first());
}

}  // namespace hv
