// The settings dialog's values to its controls (OnInitDialog) and back (OK).
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>

#include "language/Language.h"
#include "platform/ComponentFactory.h"
#include "platform/MessageBoxes.h"
#include "playback/PlayerComponents.h"
#include "settings/SettingsDlg.h"
#include "settings/SettingsDlgWidgets.h"

namespace hv {

using settingsdlg::FolderItem;

namespace {
constexpr unsigned kFifoSizeFormatId = 511;        // "%d ms"
constexpr unsigned kNoPlayerListMessageId = 517;  // the player list cannot be created
}  // namespace

void CSettingsDlg::ShowProgramValues() {
    autostart_->setChecked(values_.Autostart);
    port_->setValue(values_.Port);
    ShowFifoSizes();
    useGameTime_->setChecked(values_.UseGameTime);
    preroll_->setValue(values_.Preroll);
}

void CSettingsDlg::ShowFifoSizes() {
    fifoSize_->clear();
    const QString format = LoadStringOrMark(kFifoSizeFormatId);
    for (std::int32_t sizeMs : kFifoSizesMs) fifoSize_->addItem(FifoSizeText(format, sizeMs), sizeMs);
    fifoSize_->setCurrentIndex(FifoSizeIndexFor(values_.FifoSizeMS));
}

void CSettingsDlg::ShowRecorder() {
    const bool remote = RecorderIsRemote(values_.VortamoIP);
    remote_->setChecked(remote);
    remoteAddress_->setText(RecorderAddressToKeep(remote, values_.VortamoIP));
    remoteAddress_->setEnabled(RecorderAddressEnabled(remote));
}

bool CSettingsDlg::ShowPlayers() {
    if (services_.Components != nullptr)
        playersObject_ = services_.Components->CreateFor(kPlayerEnumeratorClass, players_);
    if (players_ == nullptr) {
        if (services_.MessageBoxes != nullptr)
            services_.MessageBoxes->Show(LoadStringOrMark(kNoPlayerListMessageId), BoxIcon::Error,
                                         BoxButtons::Ok);
        return false;
    }
    player_->clear();
    std::int32_t count = 0;
    if (Failed(players_->GetPlayerCount(count))) count = 0;
    int matched = -1;
    for (std::int32_t index = 0; index < count; ++index) {
        QString displayName;
        QString regName;
        (void)players_->GetDisplayName(index, displayName);
        player_->addItem(displayName);  // the list's position is the enumerator's index
        if (players_->GetRegName(index, regName) == S_OK &&
            regName.compare(values_.PlayerRegName, Qt::CaseSensitive) == 0)
            matched = index;  // each match is selected in turn: the last one stays
    }
    player_->setCurrentIndex(PlayerIndexToShow(matched, player_->count()));
    return true;
}

void CSettingsDlg::ShowCopyValues() {
    copyTo_->setText(values_.CopyToPath);

    from_->clear();
    for (const QString& folder : AppSettings::SplitFolderList(values_.CopyFromPathList))
        from_->addItem(new FolderItem(folder));
    if (from_->count() > 0) from_->setCurrentRow(0);
    remove_->setEnabled(RemoveEnabled(SelectedFolderRow()));

    deleteCopied_->setChecked(values_.DeleteCopiedFiles);
    rateLimit_->setValue(values_.CopyRateLimit_MBperSEC);
    periodNumber_->setValue(values_.DefPeriodNumber);
}

void CSettingsDlg::TakeValues() {
    // Text typed into an edit counts even when the edit still has the focus.
    for (QSpinBox* spin : {port_, preroll_, rateLimit_, periodNumber_}) spin->interpretText();

    values_.Autostart = autostart_->isChecked();
    values_.Port = port_->value();
    values_.FifoSizeMS = FifoSizeAt(fifoSize_->currentIndex());
    values_.PlayerRegName = ChosenPlayerRegName();
    values_.UseGameTime = useGameTime_->isChecked();
    values_.Preroll = preroll_->value();
    values_.VortamoIP = RecorderAddressToKeep(remote_->isChecked(), remoteAddress_->text());
    values_.CopyToPath = copyTo_->text();
    values_.CopyFromPathList = AppSettings::JoinFolderList(Folders());
    values_.DeleteCopiedFiles = deleteCopied_->isChecked();
    values_.CopyRateLimit_MBperSEC = rateLimit_->value();
    values_.DefPeriodNumber = periodNumber_->value();
}

QString CSettingsDlg::ChosenPlayerRegName() const {
    QString regName;
    if (players_ != nullptr && Failed(players_->GetRegName(player_->currentIndex(), regName)))
        regName.clear();
    return regName;
}

QStringList CSettingsDlg::Folders() const {
    QStringList folders;
    for (int row = 0; row < from_->count(); ++row) folders.append(from_->item(row)->text());
    return folders;
}

}  // namespace hv
