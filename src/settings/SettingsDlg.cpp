#include "settings/SettingsDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QVBoxLayout>
#include <iterator>

#include "language/Language.h"
#include "platform/ComponentFactory.h"
#include "platform/MessageBoxes.h"
#include "playback/PlayerComponents.h"
#include "res/MenuResource.h"
#include "settings/SettingsStore.h"

namespace hv {

namespace {

constexpr unsigned kFifoSizeFormatId = 511;        // "%d ms"
constexpr unsigned kNoPlayerListMessageId = 517;  // the player list cannot be created

const QString kPickerFileName = QStringLiteral("any.mp4");
constexpr const char* kChecksumsHint =
    "Each game folder of the archive holds SHA256SUMS, the checksums of its recordings taken while they were "
    "copied. Check them with: Halvane --verify-archive (or sha256sum -c SHA256SUMS in a game folder).";
constexpr const char* kSemicolonFolderText = "A folder with \";\" in its name cannot be copied from.";

QString DialogText(const char* key) { return LoadDialogText(kSettingsDialogId, key); }

QString ObjectName(int id) { return QString::number(id); }

// An edit with its spin control: digits only, right-aligned, at most `chars` characters,
// positions within `range` (a value outside it is shown as the nearest end).
class SpinEdit final : public QSpinBox {
public:
    SpinEdit(QWidget* parent, int id, SettingRange range, int chars) : QSpinBox(parent) {
        setObjectName(ObjectName(id));
        // The edit takes the digits 0 to 9 only, so it shows them too, whatever the user's
        // locale would write (other digits, group separators).
        setLocale(QLocale::c());
        setRange(range.Min, range.Max);
        setAlignment(Qt::AlignRight);
        setButtonSymbols(QAbstractSpinBox::UpDownArrows);
        lineEdit()->setMaxLength(chars);
    }

protected:
    // Digits only: no sign, no other digits than 0 to 9.
    QValidator::State validate(QString& text, int& pos) const override {
        for (QChar c : text)
            if (c < QLatin1Char('0') || c > QLatin1Char('9')) return QValidator::Invalid;
        return QSpinBox::validate(text, pos);
    }
};

// The From list keeps its folders sorted as a list box does: without regard to case,
// then by the exact text so that the order never depends on the order of adding.
class FolderItem final : public QListWidgetItem {
public:
    explicit FolderItem(const QString& folder) : QListWidgetItem(folder) {}
    bool operator<(const QListWidgetItem& other) const override {
        const int order = text().compare(other.text(), Qt::CaseInsensitive);
        return order != 0 ? order < 0 : text() < other.text();
    }
};

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

SettingsDlgValues SettingsDlgValues::From(const AppSettings& settings) {
    SettingsDlgValues values;
    values.Port = settings.Port;
    values.Autostart = settings.Autostart;
    values.PlayerRegName = settings.PlayerRegName;
    values.FifoSizeMS = settings.FifoSizeMS;
    values.UseGameTime = settings.UseGameTime;
    values.Preroll = settings.Preroll;
    values.VortamoIP = settings.VortamoIP;
    values.CopyToPath = settings.CopyToPath;
    values.CopyFromPathList = settings.CopyFromPathList;
    values.DeleteCopiedFiles = settings.DeleteCopiedFiles;
    values.CopyRateLimit_MBperSEC = settings.CopyRateLimit_MBperSEC;
    values.DefPeriodNumber = settings.DefPeriodNumber;
    return values;
}

QString FolderOfPickedPath(const QString& path) {
    const QString native = QDir::toNativeSeparators(path);
    const qsizetype cut = native.lastIndexOf(QDir::separator());
    if (cut < 0) return native;
    const QString folder = native.left(cut);
    // The root keeps its separator: "/" rather than "" or the file's own path, "C:\"
    // rather than the drive-relative "C:".
    const bool isRoot = folder.isEmpty() || (folder.size() == 2 && folder[1] == QLatin1Char(':'));
    return isRoot ? native.left(cut + 1) : folder;
}

QString PickerStartFile(const QString& folder) {
    if (folder.isEmpty() || folder.endsWith(QDir::separator()) || folder.endsWith(QLatin1Char('/')))
        return folder + kPickerFileName;
    return folder + QDir::separator() + kPickerFileName;
}

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

void CSettingsDlg::BuildControls() {
    setWindowTitle(DialogText("caption"));
    const auto label = [this](const char* key) {
        auto* text = new QLabel(DialogText(key), this);
        text->setObjectName(QLatin1String(key));
        return text;
    };
    const auto check = [this](int id) {
        auto* box = new QCheckBox(DialogText(QByteArray::number(id).constData()), this);
        box->setObjectName(ObjectName(id));
        return box;
    };
    const auto button = [this](int id) {
        auto* push = new QPushButton(DialogText(QByteArray::number(id).constData()), this);
        push->setObjectName(ObjectName(id));
        push->setAutoDefault(false);
        return push;
    };

    // Made in the template's order, which is also the order of the Tab key.
    QLabel* portLabel = label("port");
    port_ = new SpinEdit(this, kPort, kPortRange, kPortChars);
    portLabel->setBuddy(port_);
    autostart_ = check(kAutostart);
    auto* playerGroup = new QGroupBox(DialogText("player"), this);
    playerGroup->setObjectName(QStringLiteral("player"));
    player_ = new QComboBox(this);
    player_->setObjectName(ObjectName(kPlayer));
    player_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    player_->setMinimumContentsLength(24);
    QLabel* fifoLabel = label("fifo");
    fifoSize_ = new QComboBox(this);
    fifoSize_->setObjectName(ObjectName(kFifoSize));
    fifoLabel->setBuddy(fifoSize_);
    useGameTime_ = check(kUseGameTime);
    QLabel* prerollLabel = label("rollback");
    preroll_ = new SpinEdit(this, kPreroll, kPrerollRange, kPrerollChars);
    prerollLabel->setBuddy(preroll_);

    auto* copyGroup = new QGroupBox(DialogText("copyfiles"), this);
    copyGroup->setObjectName(QStringLiteral("copyfiles"));
    remote_ = check(kRemote);
    remoteAddress_ = new QLineEdit(this);
    remoteAddress_->setObjectName(ObjectName(kRemoteAddress));
    QLabel* fromLabel = label("from");
    from_ = new QListWidget(this);
    from_->setObjectName(ObjectName(kFromList));
    from_->setSelectionMode(QAbstractItemView::SingleSelection);
    from_->setSortingEnabled(true);
    from_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // About five folders high, as in the template; a long path scrolls sideways.
    from_->setFixedHeight(from_->fontMetrics().lineSpacing() * 5 + 2 * from_->frameWidth() +
                          from_->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 4);
    fromLabel->setBuddy(from_);
    add_ = button(kAdd);
    remove_ = button(kRemove);
    remove_->setEnabled(false);
    QLabel* toLabel = label("to");
    copyTo_ = new QLineEdit(this);
    copyTo_->setObjectName(ObjectName(kCopyTo));
    copyTo_->setReadOnly(true);
    toLabel->setBuddy(copyTo_);
    // Where the archive's checksums are, on the archive root's label and field.
    toLabel->setToolTip(LoadUiText(kChecksumsHint));
    copyTo_->setToolTip(toLabel->toolTip());
    browseTo_ = button(kBrowseTo);
    deleteCopied_ = check(kDeleteCopied);
    QLabel* rateLabel = label("ratelimit");
    rateLimit_ = new SpinEdit(this, kRateLimit, kCopyRateLimitRange, kRateLimitChars);
    rateLabel->setBuddy(rateLimit_);
    QLabel* rateUnit = label("mbpersec");
    QLabel* periodLabel = label("period");
    periodNumber_ = new SpinEdit(this, kPeriodNumber, kDefPeriodNumberRange, kPeriodNumberChars);
    periodLabel->setBuddy(periodNumber_);
    auto* ok = new QPushButton(DialogText("1"), this);
    ok->setObjectName(QStringLiteral("1"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(DialogText("2"), this);
    cancel->setObjectName(QStringLiteral("2"));
    cancel->setAutoDefault(false);

    // Two columns: the program's own settings on the left, copying on the right.
    auto* portRow = new QHBoxLayout;
    portRow->addWidget(portLabel);
    portRow->addWidget(port_);
    portRow->addStretch();
    auto* fifoRow = new QHBoxLayout;
    fifoRow->addWidget(fifoLabel);
    fifoRow->addWidget(fifoSize_);
    fifoRow->addStretch();
    auto* playerLayout = new QVBoxLayout(playerGroup);
    playerLayout->addWidget(player_);
    playerLayout->addLayout(fifoRow);
    auto* prerollRow = new QHBoxLayout;
    prerollRow->addWidget(prerollLabel);
    prerollRow->addWidget(preroll_);
    prerollRow->addStretch();
    auto* left = new QVBoxLayout;
    left->addLayout(portRow);
    left->addWidget(autostart_);
    left->addWidget(playerGroup);
    left->addWidget(useGameTime_);
    left->addLayout(prerollRow);
    left->addStretch();

    auto* remoteRow = new QHBoxLayout;
    remoteRow->addWidget(remote_);
    remoteRow->addWidget(remoteAddress_, 1);
    auto* folderButtons = new QHBoxLayout;
    folderButtons->addStretch();
    folderButtons->addWidget(add_);
    folderButtons->addWidget(remove_);
    folderButtons->addStretch();
    auto* toRow = new QHBoxLayout;
    toRow->addWidget(copyTo_, 1);
    toRow->addWidget(browseTo_);
    browseTo_->setMaximumWidth(browseTo_->fontMetrics().horizontalAdvance(browseTo_->text()) * 3 + 16);
    auto* rateRow = new QHBoxLayout;
    rateRow->addWidget(rateLabel);
    rateRow->addWidget(rateLimit_);
    rateRow->addWidget(rateUnit);
    rateRow->addStretch();
    auto* periodRow = new QHBoxLayout;
    periodRow->addWidget(periodLabel);
    periodRow->addWidget(periodNumber_);
    periodRow->addStretch();
    auto* copyLayout = new QVBoxLayout(copyGroup);
    copyLayout->addLayout(remoteRow);
    copyLayout->addWidget(fromLabel);
    copyLayout->addWidget(from_);
    copyLayout->addLayout(folderButtons);
    copyLayout->addWidget(toLabel);
    copyLayout->addLayout(toRow);
    copyLayout->addWidget(deleteCopied_);
    copyLayout->addLayout(rateRow);
    copyLayout->addLayout(periodRow);

    auto* columns = new QHBoxLayout;
    columns->addLayout(left);
    columns->addWidget(copyGroup, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(columns);
    layout->addLayout(buttons);
    // A fixed frame, as large as the texts of the language in use need.
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(remote_, &QCheckBox::clicked, this, &CSettingsDlg::OnRemoteClicked);
    connect(from_, &QListWidget::itemSelectionChanged, this, &CSettingsDlg::OnFromSelectionChanged);
    connect(add_, &QPushButton::clicked, this, &CSettingsDlg::OnAddFolder);
    connect(remove_, &QPushButton::clicked, this, &CSettingsDlg::OnRemoveFolder);
    connect(browseTo_, &QPushButton::clicked, this, &CSettingsDlg::OnBrowseTo);
    connect(ok, &QPushButton::clicked, this, &CSettingsDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CSettingsDlg::reject);
}

QWidget* CSettingsDlg::Control(int id) const {
    return findChild<QWidget*>(ObjectName(id));
}

int CSettingsDlg::DoModal() {
    if (!OnInitDialog()) return QDialog::Rejected;
    return exec();
}

bool CSettingsDlg::OnInitDialog() {
    autostart_->setChecked(values_.Autostart);
    port_->setValue(values_.Port);

    // The largest offered size not above the current one; the smallest when all are.
    fifoSize_->clear();
    const QString format = LoadStringOrMark(kFifoSizeFormatId);
    int fifoIndex = 0;
    for (std::size_t i = 0; i < std::size(kFifoSizesMs); ++i) {
        QString text = format;
        text.replace(QLatin1String("%d"), QString::number(kFifoSizesMs[i]));
        fifoSize_->addItem(text, kFifoSizesMs[i]);
        if (kFifoSizesMs[i] <= values_.FifoSizeMS) fifoIndex = static_cast<int>(i);
    }
    fifoSize_->setCurrentIndex(fifoIndex);

    useGameTime_->setChecked(values_.UseGameTime);
    preroll_->setValue(values_.Preroll);

    const bool remote = !values_.VortamoIP.isEmpty();
    remote_->setChecked(remote);
    remoteAddress_->setText(remote ? values_.VortamoIP : QString());
    remoteAddress_->setEnabled(remote);

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
    int playerIndex = -1;
    for (std::int32_t index = 0; index < count; ++index) {
        QString displayName;
        QString regName;
        (void)players_->GetDisplayName(index, displayName);
        player_->addItem(displayName);  // the list's position is the enumerator's index
        if (players_->GetRegName(index, regName) == S_OK &&
            regName.compare(values_.PlayerRegName, Qt::CaseSensitive) == 0)
            playerIndex = index;  // each match is selected in turn: the last one stays
    }
    player_->setCurrentIndex(playerIndex >= 0 ? playerIndex : (player_->count() > 0 ? 0 : -1));

    copyTo_->setText(values_.CopyToPath);

    from_->clear();
    for (const QString& folder : AppSettings::SplitFolderList(values_.CopyFromPathList))
        from_->addItem(new FolderItem(folder));
    if (from_->count() > 0) from_->setCurrentRow(0);
    remove_->setEnabled(SelectedFolderRow() >= 0);

    deleteCopied_->setChecked(values_.DeleteCopiedFiles);
    rateLimit_->setValue(values_.CopyRateLimit_MBperSEC);
    periodNumber_->setValue(values_.DefPeriodNumber);

    // The first control takes the keyboard, its text selected for typing over.
    port_->setFocus(Qt::TabFocusReason);
    port_->selectAll();
    return true;
}

void CSettingsDlg::accept() {
    // Text typed into an edit counts even when the edit still has the focus.
    for (QSpinBox* spin : {port_, preroll_, rateLimit_, periodNumber_}) spin->interpretText();

    values_.Autostart = autostart_->isChecked();
    values_.Port = port_->value();
    const int fifoIndex = fifoSize_->currentIndex();
    values_.FifoSizeMS = fifoIndex >= 0 ? fifoSize_->itemData(fifoIndex).toInt() : kFifoSizesMs[0];
    QString regName;
    if (players_ != nullptr && Failed(players_->GetRegName(player_->currentIndex(), regName)))
        regName.clear();
    values_.PlayerRegName = regName;
    values_.UseGameTime = useGameTime_->isChecked();
    values_.Preroll = preroll_->value();
    const bool remote = remote_->isChecked();
    values_.VortamoIP = remote ? remoteAddress_->text() : QString();
    values_.CopyToPath = copyTo_->text();
    QStringList folders;
    for (int row = 0; row < from_->count(); ++row) folders.append(from_->item(row)->text());
    values_.CopyFromPathList = AppSettings::JoinFolderList(folders);
    values_.DeleteCopiedFiles = deleteCopied_->isChecked();
    values_.CopyRateLimit_MBperSEC = rateLimit_->value();
    values_.DefPeriodNumber = periodNumber_->value();

    // The replay machine's recorder settings, only where the replay machine keeps some.
    AppSettings recorder;
    recorder.DefPeriodNumber = values_.DefPeriodNumber;
    recorder.VortamoIP = remoteAddress_->text();
    (void)WriteReplayMachineSettings(recorder, remote);

    QDialog::accept();
}

void CSettingsDlg::OnRemoteClicked() { remoteAddress_->setEnabled(remote_->isChecked()); }

int CSettingsDlg::SelectedFolderRow() const {
    const QList<QListWidgetItem*> selected = from_->selectedItems();
    return selected.isEmpty() ? -1 : from_->row(selected.first());
}

void CSettingsDlg::OnFromSelectionChanged() { remove_->setEnabled(SelectedFolderRow() >= 0); }

void CSettingsDlg::AddFolder(const QString& folder) {
    auto* item = new FolderItem(folder);
    from_->addItem(item);
    from_->setCurrentItem(item);
    item->setSelected(true);
    remove_->setEnabled(true);
}

void CSettingsDlg::OnAddFolder() {
    QString start;
    const int selected = SelectedFolderRow();
    if (selected >= 0) start = from_->item(selected)->text();
    else if (from_->count() > 0) start = from_->item(0)->text();
    else start = QDir::toNativeSeparators(QDir::rootPath());
    const QString chosen = Files().Ask(FilePromptKind::Open, PickerStartFile(start), this);
    if (chosen.isEmpty()) return;
    const QString folder = FolderOfPickedPath(chosen);
    // The folders are kept as one text with ";" between them: a folder with ";" in its
    // name would come back as two other folders.
    if (folder.contains(QLatin1Char(';'))) {
        const QString text = folder + QStringLiteral("\n\n") + LoadUiText(kSemicolonFolderText);
        if (services_.MessageBoxes != nullptr)
            services_.MessageBoxes->Show(text, BoxIcon::Warning, BoxButtons::Ok);
        else
            QMessageBox::warning(this, windowTitle(), text);
        return;
    }
    AddFolder(folder);
}

void CSettingsDlg::OnRemoveFolder() {
    const int row = SelectedFolderRow();
    if (row >= 0) {
        delete from_->takeItem(row);
        const int next = row < from_->count() ? row : from_->count() - 1;
        if (next >= 0) {
            from_->setCurrentRow(next);
            from_->item(next)->setSelected(true);
        }
    }
    remove_->setEnabled(SelectedFolderRow() >= 0);
}

void CSettingsDlg::OnBrowseTo() {
    const QString chosen = Files().Ask(FilePromptKind::SaveAs, PickerStartFile(copyTo_->text()), this);
    if (chosen.isEmpty()) return;
    copyTo_->setText(FolderOfPickedPath(chosen));
}

}  // namespace hv
