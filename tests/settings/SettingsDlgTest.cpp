// The settings dialog on its real widgets (offscreen): what it shows for the values it is
// given, the ranges, limits and enabling rules of its controls, the folder pickers, what
// OK hands back and writes for the replay machine, and its texts in English and Russian.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>
#include <vector>

#include "ScriptedFiles.h"
#include "language/Language.h"
#include "platform/ComponentFactory.h"
#include "platform/MessageBoxes.h"
#include "res/MenuResource.h"
#include "settings/SettingsDlg.h"

inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace hv {
namespace {

class RecordingBoxes final : public IMessageBoxes {
public:
    BoxAnswer Show(const QString& text, BoxIcon icon, BoxButtons) override {
        shown.push_back(text);
        icons.push_back(icon);
        return BoxAnswer::Ok;
    }
    std::vector<QString> shown;
    std::vector<BoxIcon> icons;
};

using test::ScriptedFiles;

struct Player {
    const char* display;
    const char* reg;
};

class SettingsDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root_.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, root_.filePath("user"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, root_.filePath("system"));
        SetPlayers({{"Main player", "Lumentra.Main"}, {"Second player", "Lumentra.Second"},
                    {"Slow motion", "Lumentra.Slow"}});
        UiLanguage::Instance().Init(QCoreApplication::applicationDirPath(), QStringLiteral("Halvane"));
    }
    void TearDown() override { UiLanguage::Instance().SetLanguage(0); }

    void SetPlayers(const std::vector<Player>& players) {
        QSettings suite(root_.filePath("user/Tervanix/ZandrelSoftware.conf"), QSettings::IniFormat);
        suite.remove("Players");
        suite.beginWriteArray("Players", static_cast<int>(players.size()));
        for (int i = 0; i < static_cast<int>(players.size()); ++i) {
            suite.setArrayIndex(i);
            suite.setValue("DisplayName", players[i].display);
            suite.setValue("RegName", players[i].reg);
            suite.setValue("Id", "{11111111-2222-3333-4444-55555555555" + QString::number(i) + "}");
            suite.setValue("Param", i);
        }
        suite.endArray();
    }

    // A dialog made and initialised with `values`.
    CSettingsDlg& Open(const SettingsDlgValues& values, bool expectInit = true) {
        dialog_ = std::make_unique<CSettingsDlg>(nullptr, values,
                                                 SettingsDlgServices{&components_, &boxes_, &files_});
        EXPECT_EQ(dialog_->OnInitDialog(), expectInit);
        return *dialog_;
    }

    template <class Widget>
    Widget* Get(int id) {
        auto* widget = qobject_cast<Widget*>(dialog_->Control(id));
        EXPECT_NE(widget, nullptr) << "control " << id;
        return widget;
    }
    QStringList Folders() {
        QStringList folders;
        auto* list = Get<QListWidget>(CSettingsDlg::kFromList);
        for (int row = 0; row < list->count(); ++row) folders.append(list->item(row)->text());
        return folders;
    }
    int SelectedRow() {
        auto* list = Get<QListWidget>(CSettingsDlg::kFromList);
        const auto selected = list->selectedItems();
        return selected.isEmpty() ? -1 : list->row(selected.first());
    }
    void Click(int id) { QTest::mouseClick(Get<QAbstractButton>(id), Qt::LeftButton); }
    const SettingsDlgValues& PressOk() {
        QTest::mouseClick(dialog_->findChild<QPushButton*>(QStringLiteral("1")), Qt::LeftButton);
        EXPECT_EQ(dialog_->result(), QDialog::Accepted);
        return dialog_->Values();
    }
    QString ReplayMachineFile() const { return root_.filePath("user/Tervanix/Ferrolith.conf"); }

    QTemporaryDir root_;
    ComponentFactory components_{QCoreApplication::applicationDirPath() + "/components"};
    RecordingBoxes boxes_;
    ScriptedFiles files_;
    std::unique_ptr<CSettingsDlg> dialog_;
};

// ---- what is shown ----

TEST_F(SettingsDlgTest, ShowsTheGivenValues) {
    SettingsDlgValues values;
    values.Port = 4321;
    values.Autostart = true;
    values.PlayerRegName = "Lumentra.Second";
    values.FifoSizeMS = 800;
    values.UseGameTime = false;
    values.Preroll = 7;
    values.VortamoIP = "10.1.2.3";
    values.CopyToPath = "/srv/archive/";
    values.CopyFromPathList = "/rec/b;/rec/a";
    values.DeleteCopiedFiles = true;
    values.CopyRateLimit_MBperSEC = 33;
    values.DefPeriodNumber = 60;
    Open(values);

    EXPECT_EQ(dialog_->windowTitle(), "Halvane Settings");
    EXPECT_EQ(Get<QSpinBox>(CSettingsDlg::kPort)->value(), 4321);
    EXPECT_TRUE(Get<QCheckBox>(CSettingsDlg::kAutostart)->isChecked());
    EXPECT_EQ(Get<QComboBox>(CSettingsDlg::kPlayer)->currentText(), "Second player");
    EXPECT_EQ(Get<QComboBox>(CSettingsDlg::kFifoSize)->currentText(), "800 ms");
    EXPECT_FALSE(Get<QCheckBox>(CSettingsDlg::kUseGameTime)->isChecked());
    EXPECT_EQ(Get<QSpinBox>(CSettingsDlg::kPreroll)->value(), 7);
    EXPECT_TRUE(Get<QCheckBox>(CSettingsDlg::kRemote)->isChecked());
    EXPECT_EQ(Get<QLineEdit>(CSettingsDlg::kRemoteAddress)->text(), "10.1.2.3");
    EXPECT_TRUE(Get<QLineEdit>(CSettingsDlg::kRemoteAddress)->isEnabled());
    EXPECT_EQ(Get<QLineEdit>(CSettingsDlg::kCopyTo)->text(), "/srv/archive/");
    EXPECT_TRUE(Get<QLineEdit>(CSettingsDlg::kCopyTo)->isReadOnly());
    EXPECT_EQ(Folders(), (QStringList{"/rec/a", "/rec/b"}));
    EXPECT_EQ(SelectedRow(), 0);
    EXPECT_TRUE(Get<QPushButton>(CSettingsDlg::kRemove)->isEnabled());
    EXPECT_TRUE(Get<QCheckBox>(CSettingsDlg::kDeleteCopied)->isChecked());
    EXPECT_EQ(Get<QSpinBox>(CSettingsDlg::kRateLimit)->value(), 33);
    EXPECT_EQ(Get<QSpinBox>(CSettingsDlg::kPeriodNumber)->value(), 60);

    // OK without changes hands back the same values.
    const SettingsDlgValues& back = PressOk();
    EXPECT_EQ(back.Port, 4321);
    EXPECT_EQ(back.PlayerRegName, "Lumentra.Second");
    EXPECT_EQ(back.FifoSizeMS, 800);
    EXPECT_EQ(back.VortamoIP, "10.1.2.3");
    EXPECT_EQ(back.CopyFromPathList, "/rec/a;/rec/b");  // saved sorted
    EXPECT_EQ(back.CopyToPath, "/srv/archive/");
    EXPECT_TRUE(back.Autostart && back.DeleteCopiedFiles && !back.UseGameTime);
    EXPECT_EQ(back.Preroll, 7);
    EXPECT_EQ(back.CopyRateLimit_MBperSEC, 33);
    EXPECT_EQ(back.DefPeriodNumber, 60);
}

TEST_F(SettingsDlgTest, ValuesOutsideTheRangesAreShownAndSavedClamped) {
    struct Case {
        int port, preroll, rate, period;
        int shownPort, shownPreroll, shownRate, shownPeriod;
    };
    const Case cases[] = {
        {70000, 150, 500, 5000, 65535, 99, 99, 999},
        {0, -3, 0, -1, 1, 0, 1, 0},
        {-5, 100, -7, 1000, 1, 99, 1, 999},
        {1, 0, 1, 0, 1, 0, 1, 0},
        {65535, 99, 99, 999, 65535, 99, 99, 999},
    };
    for (const Case& c : cases) {
        SettingsDlgValues values;
        values.Port = c.port;
        values.Preroll = c.preroll;
        values.CopyRateLimit_MBperSEC = c.rate;
        values.DefPeriodNumber = c.period;
        Open(values);
        EXPECT_EQ(Get<QSpinBox>(CSettingsDlg::kPort)->value(), c.shownPort) << c.port;
        EXPECT_EQ(Get<QSpinBox>(CSettingsDlg::kPreroll)->value(), c.shownPreroll) << c.preroll;
        EXPECT_EQ(Get<QSpinBox>(CSettingsDlg::kRateLimit)->value(), c.shownRate) << c.rate;
        EXPECT_EQ(Get<QSpinBox>(CSettingsDlg::kPeriodNumber)->value(), c.shownPeriod) << c.period;
        const SettingsDlgValues& back = PressOk();
        EXPECT_EQ(back.Port, c.shownPort);
        EXPECT_EQ(back.Preroll, c.shownPreroll);
        EXPECT_EQ(back.CopyRateLimit_MBperSEC, c.shownRate);
        EXPECT_EQ(back.DefPeriodNumber, c.shownPeriod);
    }
}

TEST_F(SettingsDlgTest, FifoSizeShowsTheLargestOfferedSizeNotAboveIt) {
    const std::pair<int, int> cases[] = {{400, 300}, {50, 100}, {100, 100}, {250, 200},
                                         {1000, 1000}, {5000, 1000}, {-1, 100}, {799, 500}};
    for (const auto& [stored, shown] : cases) {
        SettingsDlgValues values;
        values.FifoSizeMS = stored;
        Open(values);
        auto* fifo = Get<QComboBox>(CSettingsDlg::kFifoSize);
        ASSERT_EQ(fifo->count(), 6);
        EXPECT_EQ(fifo->itemText(0), "100 ms");
        EXPECT_EQ(fifo->itemText(5), "1000 ms");
        EXPECT_EQ(fifo->currentText(), QString::number(shown) + " ms") << stored;
        EXPECT_EQ(PressOk().FifoSizeMS, shown) << stored;
    }
}

// ---- limits and keys ----

TEST_F(SettingsDlgTest, EditsTakeDigitsOnlyUpToTheirLimitAndArrowKeysStayInRange) {
    struct Case {
        int id;
        int maxChars;
        const char* typed;
        const char* kept;
        int lowest, highest;
    };
    const Case cases[] = {
        {CSettingsDlg::kPort, 5, "x1-2.3 +4567", "12345", 1, 65535},
        {CSettingsDlg::kPreroll, 2, "a+987", "98", 0, 99},
        {CSettingsDlg::kRateLimit, 2, "+-456", "45", 1, 99},
        {CSettingsDlg::kPeriodNumber, 3, "12e34", "123", 0, 999},
    };
    Open(SettingsDlgValues{});
    dialog_->show();
    for (const Case& c : cases) {
        auto* spin = Get<QSpinBox>(c.id);
        auto* edit = spin->findChild<QLineEdit*>();
        ASSERT_NE(edit, nullptr);
        EXPECT_EQ(edit->maxLength(), c.maxChars) << c.id;
        EXPECT_EQ(spin->minimum(), c.lowest) << c.id;
        EXPECT_EQ(spin->maximum(), c.highest) << c.id;
        EXPECT_TRUE(spin->alignment() & Qt::AlignRight) << c.id;

        spin->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, QString::fromLatin1(c.typed));
        EXPECT_EQ(edit->text(), QString::fromLatin1(c.kept)) << c.id;
        // Nor digits of other scripts.
        edit->selectAll();
        QKeyEvent otherDigit(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(QChar(0x0663)));
        QApplication::sendEvent(edit, &otherDigit);
        EXPECT_EQ(edit->text(), QString::fromLatin1(c.kept)) << c.id;

        spin->setValue(c.highest);
        QTest::keyClick(spin, Qt::Key_Up);
        EXPECT_EQ(spin->value(), c.highest) << c.id;
        QTest::keyClick(spin, Qt::Key_Down);
        EXPECT_EQ(spin->value(), c.highest - 1) << c.id;
        spin->setValue(c.lowest);
        QTest::keyClick(spin, Qt::Key_Down);
        EXPECT_EQ(spin->value(), c.lowest) << c.id;
    }
    // What was typed last counts at OK, even with the focus still in the edit.
    auto* port = Get<QSpinBox>(CSettingsDlg::kPort);
    auto* edit = port->findChild<QLineEdit*>();
    port->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, "2024");
    EXPECT_EQ(PressOk().Port, 2024);
}

TEST_F(SettingsDlgTest, EditsShowAndTakeTheDigitsZeroToNineWhateverTheLocale) {
    // Locales that write numbers with other digits or with group separators.
    const QLocale locales[] = {QLocale(QLocale::Arabic, QLocale::Egypt),
                               QLocale(QLocale::Persian, QLocale::Iran),
                               QLocale(QLocale::German, QLocale::Germany), QLocale(QLocale::Russian)};
    const QLocale before;
    for (const QLocale& locale : locales) {
        SCOPED_TRACE(locale.name().toStdString());
        QLocale::setDefault(locale);
        SettingsDlgValues values;
        values.Port = 54321;
        values.DefPeriodNumber = 123;
        Open(values);
        dialog_->show();
        auto* port = Get<QSpinBox>(CSettingsDlg::kPort);
        EXPECT_EQ(port->text(), "54321");
        EXPECT_EQ(Get<QSpinBox>(CSettingsDlg::kPeriodNumber)->text(), "123");
        QTest::keyClick(port, Qt::Key_Up);
        EXPECT_EQ(port->text(), "54322");

        auto* edit = port->findChild<QLineEdit*>();
        port->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, "2024");
        EXPECT_EQ(edit->text(), "2024");
        const SettingsDlgValues& back = PressOk();
        EXPECT_EQ(back.Port, 2024);
        EXPECT_EQ(back.DefPeriodNumber, 123);
    }
    QLocale::setDefault(before);
}

// ---- enabling rules ----

TEST_F(SettingsDlgTest, RemoteAddressIsUsableOnlyWithItsCheckBox) {
    Open(SettingsDlgValues{});
    dialog_->show();
    auto* remote = Get<QCheckBox>(CSettingsDlg::kRemote);
    auto* address = Get<QLineEdit>(CSettingsDlg::kRemoteAddress);
    EXPECT_FALSE(remote->isChecked());
    EXPECT_FALSE(address->isEnabled());
    EXPECT_TRUE(address->text().isEmpty());

    Click(CSettingsDlg::kRemote);
    EXPECT_TRUE(address->isEnabled());
    QTest::keyClicks(address, "replay-2.local");
    Click(CSettingsDlg::kRemote);
    EXPECT_FALSE(address->isEnabled());
    EXPECT_EQ(address->text(), "replay-2.local");  // the text stays
    EXPECT_TRUE(PressOk().VortamoIP.isEmpty());

    SettingsDlgValues values;
    values.VortamoIP = "10.0.0.9";
    Open(values);
    Click(CSettingsDlg::kRemote);  // cleared: no address is stored
    EXPECT_TRUE(PressOk().VortamoIP.isEmpty());

    Open(values);
    EXPECT_EQ(PressOk().VortamoIP, "10.0.0.9");
}

TEST_F(SettingsDlgTest, RemoveOnlyWithASelectionAndTheNextEntrySelected) {
    SettingsDlgValues values;
    values.CopyFromPathList = "/rec/c;/rec/a;/rec/b";
    Open(values);
    dialog_->show();
    auto* list = Get<QListWidget>(CSettingsDlg::kFromList);
    auto* remove = Get<QPushButton>(CSettingsDlg::kRemove);

    // Removing the last of three selects the new last one.
    list->setCurrentRow(2);
    Click(CSettingsDlg::kRemove);
    EXPECT_EQ(Folders(), (QStringList{"/rec/a", "/rec/b"}));
    EXPECT_EQ(SelectedRow(), 1);
    EXPECT_TRUE(remove->isEnabled());
    // Removing the first selects the one now in its place.
    list->setCurrentRow(0);
    Click(CSettingsDlg::kRemove);
    EXPECT_EQ(Folders(), QStringList{"/rec/b"});
    EXPECT_EQ(SelectedRow(), 0);
    // Without a selection Remove is disabled; a click on an entry enables it again.
    list->clearSelection();
    EXPECT_FALSE(remove->isEnabled());
    const QRect place = list->visualItemRect(list->item(0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, place.center());
    EXPECT_TRUE(remove->isEnabled());
    // Removing the only folder disables Remove.
    Click(CSettingsDlg::kRemove);
    EXPECT_TRUE(Folders().isEmpty());
    EXPECT_FALSE(remove->isEnabled());
    EXPECT_TRUE(PressOk().CopyFromPathList.isEmpty());

    // An empty list starts with Remove disabled.
    Open(SettingsDlgValues{});
    EXPECT_FALSE(Get<QPushButton>(CSettingsDlg::kRemove)->isEnabled());
}

// ---- the folder pickers ----

TEST(SettingsDlgFolders, FolderOfAPickedPath) {
    const std::pair<const char*, const char*> cases[] = {
        {"/srv/rec/any.mp4", "/srv/rec"},
        {"/srv/rec/typed name.mp4", "/srv/rec"},
        {"/any.mp4", "/"},  // the root, not the file's own path
        {"/srv/any.mp4", "/srv"},
        {"any.mp4", "any.mp4"},
    };
    for (const auto& [picked, folder] : cases)
        EXPECT_EQ(FolderOfPickedPath(QString::fromUtf8(picked)), QString::fromUtf8(folder)) << picked;

    EXPECT_EQ(PickerStartFile(""), "any.mp4");
    EXPECT_EQ(PickerStartFile("/"), "/any.mp4");
    EXPECT_EQ(PickerStartFile("/srv/rec"), "/srv/rec/any.mp4");
    EXPECT_EQ(PickerStartFile("/srv/rec/"), "/srv/rec/any.mp4");
}

TEST_F(SettingsDlgTest, AddPicksAFolderAndKeepsTheListSorted) {
    SettingsDlgValues values;
    values.CopyFromPathList = "/rec/zeta;/rec/Mid";
    Open(values);
    dialog_->show();
    auto* list = Get<QListWidget>(CSettingsDlg::kFromList);

    // Starts in the selected folder; the chosen file's folder is added and selected.
    list->setCurrentRow(1);
    files_.answers = {"/rec/alpha/any.mp4"};
    Click(CSettingsDlg::kAdd);
    ASSERT_EQ(files_.starts.size(), 1U);
    EXPECT_EQ(files_.kinds[0], FilePromptKind::Open);
    EXPECT_EQ(files_.starts[0], "/rec/zeta/any.mp4");
    EXPECT_EQ(Folders(), (QStringList{"/rec/alpha", "/rec/Mid", "/rec/zeta"}));
    EXPECT_EQ(SelectedRow(), 0);
    EXPECT_TRUE(Get<QPushButton>(CSettingsDlg::kRemove)->isEnabled());

    // Without a selection: the first folder. The same folder may be added twice.
    list->clearSelection();
    files_.answers = {"/rec/Mid/other.mp4"};
    Click(CSettingsDlg::kAdd);
    EXPECT_EQ(files_.starts[1], "/rec/alpha/any.mp4");
    EXPECT_EQ(Folders(), (QStringList{"/rec/alpha", "/rec/Mid", "/rec/Mid", "/rec/zeta"}));

    // Cancelled: nothing changes.
    Click(CSettingsDlg::kAdd);
    EXPECT_EQ(Folders().size(), 4);
    EXPECT_EQ(PressOk().CopyFromPathList, "/rec/alpha;/rec/Mid;/rec/Mid;/rec/zeta");

    // An empty list starts at the root; a file picked there adds the root itself.
    Open(SettingsDlgValues{});
    files_.answers = {"/any.mp4"};
    Click(CSettingsDlg::kAdd);
    EXPECT_EQ(files_.starts.back(), "/any.mp4");
    EXPECT_EQ(Folders(), QStringList{"/"});
    EXPECT_EQ(PressOk().CopyFromPathList, "/");
}

TEST_F(SettingsDlgTest, AFolderWithASemicolonInItsNameIsRefused) {
    // ";" separates the stored folders: "/rec/a;b" would come back as "/rec/a" and "b".
    SettingsDlgValues values;
    values.CopyFromPathList = "/rec/z;/rec/c";
    Open(values);
    dialog_->show();
    Get<QListWidget>(CSettingsDlg::kFromList)->setCurrentRow(1);

    files_.answers = {"/rec/a;b/any.mp4"};
    Click(CSettingsDlg::kAdd);
    ASSERT_EQ(boxes_.shown.size(), 1U);
    EXPECT_EQ(boxes_.shown[0], "/rec/a;b\n\nA folder with \";\" in its name cannot be copied from.");
    EXPECT_EQ(boxes_.icons[0], BoxIcon::Warning);
    EXPECT_EQ(Folders(), (QStringList{"/rec/c", "/rec/z"}));
    EXPECT_EQ(SelectedRow(), 1);

    // The list stays usable: the next folder is added as usual.
    files_.answers = {"/rec/a/any.mp4"};
    Click(CSettingsDlg::kAdd);
    EXPECT_EQ(boxes_.shown.size(), 1U);
    EXPECT_EQ(PressOk().CopyFromPathList, "/rec/a;/rec/c;/rec/z");
}

TEST_F(SettingsDlgTest, ArchiveRootIsPickedWithSaveAs) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "any.mp4"}, {"/arch", "/arch/any.mp4"}, {"/arch/", "/arch/any.mp4"}};
    for (const auto& [root, start] : cases) {
        SettingsDlgValues values;
        values.CopyToPath = QString::fromUtf8(root);
        Open(values);
        files_.answers = {"/mnt/video/archive/game.mp4"};
        Click(CSettingsDlg::kBrowseTo);
        EXPECT_EQ(files_.kinds.back(), FilePromptKind::SaveAs);
        EXPECT_EQ(files_.starts.back(), QString::fromUtf8(start));
        EXPECT_EQ(Get<QLineEdit>(CSettingsDlg::kCopyTo)->text(), "/mnt/video/archive");
    }
    // Cancelled: the root stays; picked at the file system's root: "/".
    Click(CSettingsDlg::kBrowseTo);
    EXPECT_EQ(Get<QLineEdit>(CSettingsDlg::kCopyTo)->text(), "/mnt/video/archive");
    files_.answers = {"/any.mp4"};
    Click(CSettingsDlg::kBrowseTo);
    EXPECT_EQ(PressOk().CopyToPath, "/");
}

TEST_F(SettingsDlgTest, TheDesktopPickerStartsAtAnyMp4AndWantsAnExistingFolder) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    QtFilePrompt prompt;
    QString startedIn;
    QString startName;
    QString warning;
    int step = 0;
    int ticks = 0;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            warning = box->text();
            box->accept();
            return;
        }
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        if (dialog == nullptr || !dialog->isVisible()) return;
        if (++ticks > 2000) dialog->reject();  // about 20 s: the steps did not work out
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(name, nullptr);
        if (step == 0) {
            startedIn = dialog->directory().absolutePath();
            startName = name->text();
            // A name in a folder that is not there is refused with a word, the picker stays.
            ++step;
            name->setText(folder.filePath("missing/typed.mp4"));
            QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
        } else if (step == 1 && !warning.isEmpty()) {
            ++step;
            name->setText(folder.filePath("typed.mp4"));  // a file that need not exist
            QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
        }
    });
    poll.start();
    const QString chosen = prompt.Ask(FilePromptKind::Open, PickerStartFile(folder.path()), nullptr);
    poll.stop();
    EXPECT_EQ(startedIn, QDir(folder.path()).absolutePath());
    EXPECT_EQ(startName, "any.mp4");
    EXPECT_TRUE(warning.contains(folder.filePath("missing"))) << warning.toStdString();
    EXPECT_EQ(chosen, folder.filePath("typed.mp4"));
    EXPECT_EQ(FolderOfPickedPath(chosen), folder.path());
}

// ---- players ----

TEST_F(SettingsDlgTest, PlayersComeFromThePlayerListInItsOrder) {
    SettingsDlgValues values;
    values.PlayerRegName = "Lumentra.Slow";
    Open(values);
    auto* players = Get<QComboBox>(CSettingsDlg::kPlayer);
    ASSERT_EQ(players->count(), 3);
    EXPECT_EQ(players->itemText(0), "Main player");
    EXPECT_EQ(players->itemText(2), "Slow motion");
    EXPECT_EQ(players->currentIndex(), 2);
    players->setCurrentIndex(1);
    EXPECT_EQ(PressOk().PlayerRegName, "Lumentra.Second");

    // Names are compared exactly: another case is another player, and the first is shown.
    values.PlayerRegName = "lumentra.slow";
    Open(values);
    EXPECT_EQ(Get<QComboBox>(CSettingsDlg::kPlayer)->currentIndex(), 0);
    EXPECT_EQ(PressOk().PlayerRegName, "Lumentra.Main");

    // A name listed twice: the last of them is shown.
    SetPlayers({{"Main player", "Lumentra.Main"}, {"Slow motion", "Lumentra.Slow"},
                {"Slow motion (second card)", "Lumentra.Slow"}, {"Other", "Lumentra.Other"}});
    values.PlayerRegName = "Lumentra.Slow";
    Open(values);
    EXPECT_EQ(Get<QComboBox>(CSettingsDlg::kPlayer)->currentIndex(), 2);
    EXPECT_EQ(PressOk().PlayerRegName, "Lumentra.Slow");

    // No player installed: nothing to choose, and the name becomes empty.
    SetPlayers({});
    Open(values);
    EXPECT_EQ(Get<QComboBox>(CSettingsDlg::kPlayer)->count(), 0);
    EXPECT_TRUE(PressOk().PlayerRegName.isEmpty());
}

TEST_F(SettingsDlgTest, WithoutThePlayerListMessage517AndTheDialogEndsCancelled) {
    QTemporaryDir empty;
    ComponentFactory none(empty.path());
    CSettingsDlg dialog(nullptr, SettingsDlgValues{}, SettingsDlgServices{&none, &boxes_, &files_});
    EXPECT_EQ(dialog.DoModal(), QDialog::Rejected);
    EXPECT_FALSE(dialog.isVisible());
    ASSERT_EQ(boxes_.shown.size(), 1U);
    EXPECT_EQ(boxes_.shown[0], "Can't create title engine scaner!\nTry reinstall Zandrel software.");
    EXPECT_EQ(boxes_.icons[0], BoxIcon::Error);
}

// ---- the replay machine's recorder settings ----

TEST_F(SettingsDlgTest, OkWritesTheReplayMachineSettingsOnlyWhereTheyExist) {
    SettingsDlgValues values;
    values.DefPeriodNumber = 77;
    Open(values);
    PressOk();
    EXPECT_FALSE(QFile::exists(ReplayMachineFile()));

    // The replay machine's file, as its program leaves it before it has saved anything: an
    // empty "Settings" group. It is the replay machine's settings, and OK writes them.
    {
        QDir().mkpath(QFileInfo(ReplayMachineFile()).absolutePath());
        QFile empty(ReplayMachineFile());
        ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
        empty.write("[Settings]\n");
    }
    Open(values);
    PressOk();
    {
        QSettings machine(ReplayMachineFile(), QSettings::IniFormat);
        EXPECT_EQ(machine.value("Settings/VortamoControl").toInt(), 1);
        EXPECT_EQ(machine.value("Settings/VortamoPeriod0").toInt(), 77);
        EXPECT_EQ(machine.value("Settings/VortamoServer").toString(), "localhost");
        machine.setValue("Settings/Other", "kept");
    }
    struct Case {
        const char* stored;  // VortamoIP handed to the dialog
        bool toggle;         // the user clicks Remote Vortamo IP
        const char* typed;   // then types into the address
        const char* server;
    };
    const Case cases[] = {
        {"", false, "", "localhost"},
        {"10.0.0.5", false, "", "10.0.0.5"},
        {"10.0.0.5", true, "", "localhost"},   // cleared
        {"", true, "", ""},                    // ticked with an empty address
        {"", true, "rec-host", "rec-host"},
    };
    for (const Case& c : cases) {
        values.VortamoIP = c.stored;
        Open(values);
        dialog_->show();
        if (c.toggle) Click(CSettingsDlg::kRemote);
        QTest::keyClicks(Get<QLineEdit>(CSettingsDlg::kRemoteAddress), c.typed);
        PressOk();
        QSettings machine(ReplayMachineFile(), QSettings::IniFormat);
        EXPECT_EQ(machine.value("Settings/VortamoControl").toInt(), 1);
        EXPECT_EQ(machine.value("Settings/VortamoPeriod0").toInt(), 77);
        EXPECT_EQ(machine.value("Settings/VortamoServer").toString(), c.server) << c.stored << c.typed;
        EXPECT_EQ(machine.value("Settings/Other").toString(), "kept");
    }
}

// ---- texts ----

// Every text of the dialog is the language's, and each fits its control at the default
// font size.
void ExpectTextsWhole(CSettingsDlg& dialog) {
    dialog.show();
    dialog.layout()->activate();
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        EXPECT_EQ(label->text(), LoadDialogText(kSettingsDialogId, label->objectName().toLatin1()));
        EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
    }
    for (QAbstractButton* button : dialog.findChildren<QAbstractButton*>()) {
        if (button->objectName().isEmpty()) continue;  // the spin boxes' inner parts
        EXPECT_EQ(button->text(), LoadDialogText(kSettingsDialogId, button->objectName().toLatin1()));
        // A check box needs its size hint; a push button its text and a little margin (the
        // style's minimum button width is more than "..." needs).
        const int needed = qobject_cast<QPushButton*>(button) != nullptr
                               ? button->fontMetrics().horizontalAdvance(button->text()) + 8
                               : button->sizeHint().width();
        EXPECT_GE(button->width(), needed) << button->text().toStdString();
    }
    for (QGroupBox* group : dialog.findChildren<QGroupBox*>()) {
        EXPECT_EQ(group->title(), LoadDialogText(kSettingsDialogId, group->objectName().toLatin1()));
        EXPECT_GE(group->width(), group->minimumSizeHint().width()) << group->title().toStdString();
    }
    for (QComboBox* list : dialog.findChildren<QComboBox*>())
        EXPECT_GE(list->width(), list->minimumSizeHint().width()) << list->objectName().toStdString();
    EXPECT_EQ(dialog.windowTitle(), LoadDialogText(kSettingsDialogId, "caption"));
}

TEST_F(SettingsDlgTest, EnglishTextsAreWhole) {
    SettingsDlgValues values;
    values.CopyFromPathList = "/rec";
    Open(values);
    ExpectTextsWhole(*dialog_);
    EXPECT_EQ(Get<QCheckBox>(CSettingsDlg::kAutostart)->text(), "Start on system logon");
    EXPECT_EQ(dialog_->findChild<QLabel*>("period")->text(), "Period number before the game:");
}

TEST_F(SettingsDlgTest, RussianTextsAreWhole) {
    ASSERT_TRUE(UiLanguage::Instance().SetLanguage(kRussianLanguageId))
        << "Halvane_0x0419.lng next to the test program";
    Open(SettingsDlgValues{});
    ExpectTextsWhole(*dialog_);
    EXPECT_EQ(dialog_->windowTitle(), "Настройки Halvane");
    EXPECT_EQ(Get<QComboBox>(CSettingsDlg::kFifoSize)->currentText(), "300 мс");
    EXPECT_EQ(dialog_->findChild<QPushButton*>("2")->text(), "Отмена");
}

}  // namespace
}  // namespace hv
