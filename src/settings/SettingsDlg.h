#pragma once
// CSettingsDlg: the "Halvane Settings" dialog (dialog 319), in which the user edits every
// setting. It is made with the frame's current values, filled by OnInitDialog, and on OK
// holds the new values for the frame to apply (and has written the replay machine's
// recorder settings). GUI thread only.
//
// Controls keep the template's ids as their object names. An edit and its spin control
// are one Qt spin box, named after the spin control (1002, 1007, 1019, 1021).
//
// Its files: SettingsDlg.cpp its life (made, filled, OK) and what its buttons do;
// SettingsDlgLayout.cpp its controls and their places; SettingsDlgExchange.cpp the values
// to and from the controls. The rules it keeps are in SettingsRules.h, the values it
// edits in SettingsDlgValues.h.

#include <QDialog>
#include <QString>
#include <QStringList>

#include "platform/Component.h"
#include "settings/FilePrompt.h"
#include "settings/SettingsDlgValues.h"
#include "settings/SettingsRules.h"

class QBoxLayout;
class QCheckBox;
class QComboBox;
class QLayout;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;

namespace hv {

class ComponentFactory;
class IMessageBoxes;
class IPlayerEnumerator;

// What the dialog needs from the world; tests replace each piece.
struct SettingsDlgServices {
    const ComponentFactory* Components = nullptr;  // creates the player list
    IMessageBoxes* MessageBoxes = nullptr;
    IFilePrompt* Files = nullptr;  // null: the desktop's file dialogs
};

class CSettingsDlg final : public QDialog {
    Q_OBJECT
public:
    static constexpr unsigned kTemplateId = 319;
    // Control ids.
    static constexpr int kAutostart = 1000;
    static constexpr int kPort = 1002;
    static constexpr int kPlayer = 1003;
    static constexpr int kFifoSize = 1004;
    static constexpr int kUseGameTime = 1005;
    static constexpr int kPreroll = 1007;
    static constexpr int kFromList = 1012;
    static constexpr int kAdd = 1013;
    static constexpr int kRemove = 1014;
    static constexpr int kCopyTo = 1015;
    static constexpr int kBrowseTo = 1016;
    static constexpr int kDeleteCopied = 1017;
    static constexpr int kRateLimit = 1019;
    static constexpr int kPeriodNumber = 1021;
    static constexpr int kRemote = 1024;
    static constexpr int kRemoteAddress = 1025;

    CSettingsDlg(QWidget* parent, const SettingsDlgValues& values, const SettingsDlgServices& services);
    ~CSettingsDlg() override;

    // OnInitDialog, then the user's turn. QDialog::Accepted after OK; Rejected after Cancel
    // or when the player list cannot be created.
    int DoModal();
    // Fills the controls from the values. False, after message 517, when the player list
    // cannot be created: the dialog then ends as cancelled.
    bool OnInitDialog();
    // The values; after OK, the new ones.
    const SettingsDlgValues& Values() const { return values_; }

    // The control with template id `id` (the spin box for an edit/spin pair).
    QWidget* Control(int id) const;

protected:
    // OK: takes the values from the controls, writes the replay machine's recorder
    // settings and closes the dialog.
    void accept() override;

private:
    // SettingsDlgLayout.cpp: the controls, made in the template's order (the order of the
    // Tab key), and their places.
    void BuildControls();
    QLayout* BuildProgramColumn();
    QWidget* BuildPlayerGroup();
    QWidget* BuildCopyGroup();
    void AddRecorderRow(QBoxLayout* layout);
    void AddFolderList(QBoxLayout* layout);
    void AddArchiveRoot(QBoxLayout* layout);
    void AddCopyOptions(QBoxLayout* layout);
    QLayout* BuildOkCancel();
    void ConnectControls();

    // SettingsDlgExchange.cpp: the values to the controls and back.
    void ShowProgramValues();
    void ShowFifoSizes();
    void ShowRecorder();
    // False, after message 517, when the player list cannot be created.
    bool ShowPlayers();
    void ShowCopyValues();
    void TakeValues();
    QString ChosenPlayerRegName() const;
    QStringList Folders() const;

    // SettingsDlg.cpp: what the controls do.
    void OnRemoteClicked();
    void OnFromSelectionChanged();
    void OnAddFolder();
    void OnRemoveFolder();
    void OnBrowseTo();
    void AddFolder(const QString& folder);
    void RefuseFolder(const QString& folder);
    int SelectedFolderRow() const;
    IFilePrompt& Files();

    SettingsDlgValues values_;
    SettingsDlgServices services_;
    QtFilePrompt desktopFiles_;
    ComponentPtr playersObject_;
    IPlayerEnumerator* players_ = nullptr;

    QSpinBox* port_ = nullptr;
    QCheckBox* autostart_ = nullptr;
    QComboBox* player_ = nullptr;
    QComboBox* fifoSize_ = nullptr;
    QCheckBox* useGameTime_ = nullptr;
    QSpinBox* preroll_ = nullptr;
    QCheckBox* remote_ = nullptr;
    QLineEdit* remoteAddress_ = nullptr;
    QListWidget* from_ = nullptr;
    QPushButton* add_ = nullptr;
    QPushButton* remove_ = nullptr;
    QLineEdit* copyTo_ = nullptr;
    QPushButton* browseTo_ = nullptr;
    QCheckBox* deleteCopied_ = nullptr;
    QSpinBox* rateLimit_ = nullptr;
    QSpinBox* periodNumber_ = nullptr;
};

}  // namespace hv
