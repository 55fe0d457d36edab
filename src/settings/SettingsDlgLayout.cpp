// The settings dialog's controls and their places: the program's own settings in the left
// column, copying in a group on the right, OK and Cancel below. The controls are made in
// the template's order, which is also the order of the Tab key.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <initializer_list>

#include "language/Language.h"
#include "settings/SettingsDlg.h"
#include "settings/SettingsDlgWidgets.h"

namespace hv {

using settingsdlg::DialogText;
using settingsdlg::ObjectName;
using settingsdlg::SpinEdit;

namespace {

constexpr const char* kChecksumsHint =
    "Each game folder of the archive holds SHA256SUMS, the checksums of its recordings taken while they were "
    "copied. Check them with: Halvane --verify-archive (or sha256sum -c SHA256SUMS in a game folder).";

// A text of the template, named by its key.
QLabel* NewLabel(QWidget* parent, const char* key) {
    auto* label = new QLabel(DialogText(key), parent);
    label->setObjectName(QLatin1String(key));
    return label;
}

QCheckBox* NewCheckBox(QWidget* parent, int id) {
    auto* box = new QCheckBox(DialogText(id), parent);
    box->setObjectName(ObjectName(id));
    return box;
}

// A push button that Enter does not press (only OK is the default).
QPushButton* NewButton(QWidget* parent, int id) {
    auto* button = new QPushButton(DialogText(id), parent);
    button->setObjectName(ObjectName(id));
    button->setAutoDefault(false);
    return button;
}

QGroupBox* NewGroup(QWidget* parent, const char* key) {
    auto* group = new QGroupBox(DialogText(key), parent);
    group->setObjectName(QLatin1String(key));
    return group;
}

QLineEdit* NewLineEdit(QWidget* parent, int id) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(ObjectName(id));
    return edit;
}

// A row of `widgets` at its width's left, centre or right.
enum class Align { Left, Centre, Right };
QHBoxLayout* Row(Align align, std::initializer_list<QWidget*> widgets) {
    auto* row = new QHBoxLayout;
    if (align != Align::Left) row->addStretch();
    for (QWidget* widget : widgets) row->addWidget(widget);
    if (align != Align::Right) row->addStretch();
    return row;
}

}  // namespace

void CSettingsDlg::BuildControls() {
    setWindowTitle(DialogText("caption"));
    QLayout* programColumn = BuildProgramColumn();
    QWidget* copyGroup = BuildCopyGroup();
    QLayout* okCancel = BuildOkCancel();

    auto* columns = new QHBoxLayout;
    columns->addLayout(programColumn);
    columns->addWidget(copyGroup, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(columns);
    layout->addLayout(okCancel);
    // A fixed frame, as large as the texts of the language in use need.
    layout->setSizeConstraint(QLayout::SetFixedSize);

    ConnectControls();
}

QLayout* CSettingsDlg::BuildProgramColumn() {
    QLabel* portLabel = NewLabel(this, "port");
    port_ = new SpinEdit(this, kPort, kPortEdit);
    portLabel->setBuddy(port_);
    autostart_ = NewCheckBox(this, kAutostart);
    QWidget* playerGroup = BuildPlayerGroup();
    useGameTime_ = NewCheckBox(this, kUseGameTime);
    QLabel* prerollLabel = NewLabel(this, "rollback");
    preroll_ = new SpinEdit(this, kPreroll, kPrerollEdit);
    prerollLabel->setBuddy(preroll_);

    auto* column = new QVBoxLayout;
    column->addLayout(Row(Align::Left, {portLabel, port_}));
    column->addWidget(autostart_);
    column->addWidget(playerGroup);
    column->addWidget(useGameTime_);
    column->addLayout(Row(Align::Left, {prerollLabel, preroll_}));
    column->addStretch();
    return column;
}

QWidget* CSettingsDlg::BuildPlayerGroup() {
    QGroupBox* group = NewGroup(this, "player");
    player_ = new QComboBox(this);
    player_->setObjectName(ObjectName(kPlayer));
    player_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    player_->setMinimumContentsLength(24);
    QLabel* fifoLabel = NewLabel(this, "fifo");
    fifoSize_ = new QComboBox(this);
    fifoSize_->setObjectName(ObjectName(kFifoSize));
    fifoLabel->setBuddy(fifoSize_);

    auto* layout = new QVBoxLayout(group);
    layout->addWidget(player_);
    layout->addLayout(Row(Align::Left, {fifoLabel, fifoSize_}));
    return group;
}

QWidget* CSettingsDlg::BuildCopyGroup() {
    QGroupBox* group = NewGroup(this, "copyfiles");
    auto* layout = new QVBoxLayout(group);
    AddRecorderRow(layout);
    AddFolderList(layout);
    AddArchiveRoot(layout);
    AddCopyOptions(layout);
    return group;
}

void CSettingsDlg::AddRecorderRow(QBoxLayout* layout) {
    remote_ = NewCheckBox(this, kRemote);
    remoteAddress_ = NewLineEdit(this, kRemoteAddress);
    auto* row = new QHBoxLayout;
    row->addWidget(remote_);
    row->addWidget(remoteAddress_, 1);
    layout->addLayout(row);
}

void CSettingsDlg::AddFolderList(QBoxLayout* layout) {
    QLabel* fromLabel = NewLabel(this, "from");
    from_ = new QListWidget(this);
    from_->setObjectName(ObjectName(kFromList));
    from_->setSelectionMode(QAbstractItemView::SingleSelection);
    from_->setSortingEnabled(true);
    from_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // About five folders high, as in the template; a long path scrolls sideways.
    from_->setFixedHeight(from_->fontMetrics().lineSpacing() * 5 + 2 * from_->frameWidth() +
                          from_->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 4);
    fromLabel->setBuddy(from_);
    add_ = NewButton(this, kAdd);
    remove_ = NewButton(this, kRemove);
    remove_->setEnabled(false);

    layout->addWidget(fromLabel);
    layout->addWidget(from_);
    layout->addLayout(Row(Align::Centre, {add_, remove_}));
}

void CSettingsDlg::AddArchiveRoot(QBoxLayout* layout) {
    QLabel* toLabel = NewLabel(this, "to");
    copyTo_ = NewLineEdit(this, kCopyTo);
    copyTo_->setReadOnly(true);
    toLabel->setBuddy(copyTo_);
    // Where the archive's checksums are, on the archive root's label and field.
    toLabel->setToolTip(LoadUiText(kChecksumsHint));
    copyTo_->setToolTip(toLabel->toolTip());
    browseTo_ = NewButton(this, kBrowseTo);
    browseTo_->setMaximumWidth(browseTo_->fontMetrics().horizontalAdvance(browseTo_->text()) * 3 + 16);

    auto* row = new QHBoxLayout;
    row->addWidget(copyTo_, 1);
    row->addWidget(browseTo_);
    layout->addWidget(toLabel);
    layout->addLayout(row);
}

void CSettingsDlg::AddCopyOptions(QBoxLayout* layout) {
    deleteCopied_ = NewCheckBox(this, kDeleteCopied);
    QLabel* rateLabel = NewLabel(this, "ratelimit");
    rateLimit_ = new SpinEdit(this, kRateLimit, kRateLimitEdit);
    rateLabel->setBuddy(rateLimit_);
    QLabel* rateUnit = NewLabel(this, "mbpersec");
    QLabel* periodLabel = NewLabel(this, "period");
    periodNumber_ = new SpinEdit(this, kPeriodNumber, kPeriodNumberEdit);
    periodLabel->setBuddy(periodNumber_);

    layout->addWidget(deleteCopied_);
    layout->addLayout(Row(Align::Left, {rateLabel, rateLimit_, rateUnit}));
    layout->addLayout(Row(Align::Left, {periodLabel, periodNumber_}));
}

QLayout* CSettingsDlg::BuildOkCancel() {
    auto* ok = new QPushButton(DialogText("1"), this);
    ok->setObjectName(QStringLiteral("1"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(DialogText("2"), this);
    cancel->setObjectName(QStringLiteral("2"));
    cancel->setAutoDefault(false);
    connect(ok, &QPushButton::clicked, this, &CSettingsDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CSettingsDlg::reject);
    return Row(Align::Right, {ok, cancel});
}

void CSettingsDlg::ConnectControls() {
    connect(remote_, &QCheckBox::clicked, this, &CSettingsDlg::OnRemoteClicked);
    connect(from_, &QListWidget::itemSelectionChanged, this, &CSettingsDlg::OnFromSelectionChanged);
    connect(add_, &QPushButton::clicked, this, &CSettingsDlg::OnAddFolder);
    connect(remove_, &QPushButton::clicked, this, &CSettingsDlg::OnRemoveFolder);
    connect(browseTo_, &QPushButton::clicked, this, &CSettingsDlg::OnBrowseTo);
}

}  // namespace hv
