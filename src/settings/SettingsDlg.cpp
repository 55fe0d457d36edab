// The settings dialog's life (made, filled, OK) and what its folder buttons do.
#include "settings/SettingsDlg.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>

#include "language/Language.h"
#include "platform/MessageBoxes.h"
#include "settings/SettingsDlgWidgets.h"
#include "settings/SettingsStore.h"

namespace hv {

using settingsdlg::FolderItem;
using settingsdlg::ObjectName;

namespace {
constexpr const char* kSemicolonFolderText = "A folder with \";\" in its name cannot be copied from.";
}  // namespace

CSettingsDlg::CSettingsDlg(QWidget* parent, const SettingsDlgValues& values,
                           const SettingsDlgServices& services)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      values_(values),
      services_(services) {
    setObjectName(QStringLiteral("CSettingsDlg"));
    BuildControls();
}

CSettingsDlg::~CSettingsDlg() {
    players_ = nullptr;
    playersObject_.reset();
}

IFilePrompt& CSettingsDlg::Files() {
    return services_.Files != nullptr ? *services_.Files : desktopFiles_;
}

QWidget* CSettingsDlg::Control(int id) const {
    return findChild<QWidget*>(ObjectName(id));
}

int CSettingsDlg::DoModal() {
    if (!OnInitDialog()) return QDialog::Rejected;
    return exec();
}

bool CSettingsDlg::OnInitDialog() {
    ShowProgramValues();
    ShowRecorder();
    if (!ShowPlayers()) return false;
    ShowCopyValues();

    // The first control takes the keyboard, its text selected for typing over.
    port_->setFocus(Qt::TabFocusReason);
    port_->selectAll();
    return true;
}

void CSettingsDlg::accept() {
    TakeValues();

    // The replay machine's recorder settings, only where the replay machine keeps some.
    AppSettings recorder;
    recorder.DefPeriodNumber = values_.DefPeriodNumber;
    recorder.VortamoIP = remoteAddress_->text();
    (void)WriteReplayMachineSettings(recorder, remote_->isChecked());

    QDialog::accept();
}

void CSettingsDlg::OnRemoteClicked() {
    remoteAddress_->setEnabled(RecorderAddressEnabled(remote_->isChecked()));
}

int CSettingsDlg::SelectedFolderRow() const {
    const QList<QListWidgetItem*> selected = from_->selectedItems();
    return selected.isEmpty() ? -1 : from_->row(selected.first());
}

void CSettingsDlg::OnFromSelectionChanged() { remove_->setEnabled(RemoveEnabled(SelectedFolderRow())); }

void CSettingsDlg::AddFolder(const QString& folder) {
    auto* item = new FolderItem(folder);
    from_->addItem(item);
    from_->setCurrentItem(item);
    item->setSelected(true);
    remove_->setEnabled(true);  // the new folder is selected
}

void CSettingsDlg::RefuseFolder(const QString& folder) {
    const QString text = folder + QStringLiteral("\n\n") + LoadUiText(kSemicolonFolderText);
    if (services_.MessageBoxes != nullptr)
        services_.MessageBoxes->Show(text, BoxIcon::Warning, BoxButtons::Ok);
    else
        QMessageBox::warning(this, windowTitle(), text);
}

void CSettingsDlg::OnAddFolder() {
    const QString start = FolderToStartAddingFrom(Folders(), SelectedFolderRow());
    const QString chosen = Files().Ask(FilePromptKind::Open, PickerStartFile(start), this);
    if (chosen.isEmpty()) return;
    const QString folder = FolderOfPickedPath(chosen);
    if (!FolderCanBeListed(folder)) {
        RefuseFolder(folder);
        return;
    }
    AddFolder(folder);
}

void CSettingsDlg::OnRemoveFolder() {
    const int row = SelectedFolderRow();
    if (row >= 0) {
        delete from_->takeItem(row);
        const int next = RowAfterRemoving(row, from_->count());
        if (next >= 0) {
            from_->setCurrentRow(next);
            from_->item(next)->setSelected(true);
        }
    }
    remove_->setEnabled(RemoveEnabled(SelectedFolderRow()));
}

void CSettingsDlg::OnBrowseTo() {
    const QString chosen = Files().Ask(FilePromptKind::SaveAs, PickerStartFile(copyTo_->text()), this);
    if (chosen.isEmpty()) return;
    copyTo_->setText(FolderOfPickedPath(chosen));
}

}  // namespace hv
