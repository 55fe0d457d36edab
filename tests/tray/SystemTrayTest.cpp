// The notification-area icon: adding and retrying, status pictures, the tooltip, the menu
// and the clicks, and the About box; under the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <map>
#include <vector>

#include "FakeTrayBackend.h"
#include "app/AboutBox.h"
#include "language/Language.h"
#include "res/Icons.h"
#include "res/MenuResource.h"
#include "tray/SystemTray.h"
#include "tray/TrayMenu.h"

namespace hv {
namespace {

using test::FakeTrayState;

// The frame's side: the states it reports and the commands it received.
class FakeOwner : public ITrayMenuOwner {
public:
    CommandState QueryCommandState(unsigned command) override {
        const auto found = states.find(command);
        return found != states.end() ? found->second : CommandState{};
    }
    void OnMenuCommand(unsigned command) override { commands.push_back(command); }
    void BringToForeground() override { ++foregrounds; }

    std::map<unsigned, CommandState> states;
    std::vector<unsigned> commands;
    int foregrounds = 0;
};

QAction* FindAction(QMenu& menu, unsigned command) {
    for (QAction* action : menu.actions()) {
        if (action->menu() != nullptr) {
            if (QAction* inner = FindAction(*action->menu(), command)) return inner;
        } else if (CommandOfAction(action) == command) {
            return action;
        }
    }
    return nullptr;
}

// "text|text|-|>Advanced[...]" : the menu's shape, with * for ticked and ! for grayed.
QString Describe(QMenu& menu) {
    QStringList items;
    for (QAction* action : menu.actions()) {
        if (action->isSeparator()) {
            items << "-";
        } else if (action->menu() != nullptr) {
            items << ">" + action->text() + "[" + Describe(*action->menu()) + "]";
        } else {
            items << action->text() + (action->isChecked() ? "*" : "") + (action->isEnabled() ? "" : "!");
        }
    }
    return items.join('|');
}

class SystemTrayTest : public ::testing::Test {
protected:
    void SetUp() override { UiLanguage::Instance().Init(QString(), QStringLiteral("Halvane")); }
    void TearDown() override { UiLanguage::Instance().Init(QString(), QStringLiteral("Halvane")); }

    FakeOwner owner;
    FakeTrayState shell;
};

TEST_F(SystemTrayTest, RefusedIconIsRetriedWithoutPilingUpBackends) {
    shell.accept = false;
    CSystemTray tray(owner, test::FakeTrayFactory(shell));
    EXPECT_EQ(shell.created, 0);  // nothing before the first AddIcon
    for (int second = 0; second < 10; ++second) EXPECT_FALSE(tray.AddIcon("Halvane"));
    EXPECT_EQ(shell.created, 1);
    EXPECT_EQ(shell.adds, 10);
    EXPECT_FALSE(tray.IsAdded());

    // Nothing shows while refused.
    tray.SetTooltip("Halvane\nRunning");
    tray.SetStateIcon(5);
    EXPECT_EQ(tray.GetTooltip(), "");
    EXPECT_TRUE(shell.tooltip.isEmpty());

    shell.accept = true;
    EXPECT_TRUE(tray.AddIcon("Halvane"));
    EXPECT_EQ(shell.created, 1);
    EXPECT_TRUE(tray.IsAdded());
    EXPECT_EQ(tray.GetTooltip(), "Halvane");
    EXPECT_EQ(shell.tooltip, "Halvane");
    EXPECT_EQ(tray.IconResource(), 315u);  // the "Stopped" picture

    tray.RemoveIcon();
    EXPECT_EQ(shell.removes, 1);
    EXPECT_EQ(shell.alive, 0);
    EXPECT_FALSE(tray.IsAdded());
    EXPECT_EQ(tray.GetTooltip(), "");
    tray.RemoveIcon();  // twice is harmless
    EXPECT_EQ(shell.removes, 1);
}

TEST_F(SystemTrayTest, DestructionRemovesTheIcon) {
    {
        CSystemTray tray(owner, test::FakeTrayFactory(shell));
        ASSERT_TRUE(tray.AddIcon("Halvane"));
    }
    EXPECT_EQ(shell.removes, 1);
    EXPECT_EQ(shell.alive, 0);
}

TEST_F(SystemTrayTest, StatusPicturesFollowTheCrossedTable) {
    CSystemTray tray(owner, test::FakeTrayFactory(shell));
    ASSERT_TRUE(tray.AddIcon("Halvane"));
    const unsigned expected[9] = {310, 311, 312, 313, 315, 314, 317, 316, 318};
    std::map<qint64, unsigned> pictureOfKey;
    for (int status = 0; status <= 8; ++status) {
        tray.SetStateIcon(status);
        EXPECT_EQ(tray.IconResource(), expected[status]) << status;
        pictureOfKey[shell.iconKey] = expected[status];
    }
    EXPECT_EQ(pictureOfKey.size(), 9u);  // nine different icons reached the shell

    tray.SetStateIcon(2);
    const qint64 shown = shell.iconKey;
    for (const int outside : {-1, 9, 10, 100, -2147483647 - 1}) {
        tray.SetStateIcon(outside);
        EXPECT_EQ(tray.IconResource(), 312u) << outside;
        EXPECT_EQ(shell.iconKey, shown) << outside;
    }
}

TEST_F(SystemTrayTest, TooltipIsCutToWhatTheShellHolds) {
    CSystemTray tray(owner, test::FakeTrayFactory(shell));
    ASSERT_TRUE(tray.AddIcon(QString(200, 'a')));
    EXPECT_EQ(tray.GetTooltip().size(), 127);

    const struct {
        QString text;
        qsizetype kept;
    } cases[] = {
        {QString(126, 'b'), 126},
        {QString(127, 'c'), 127},
        {QString(128, 'd'), 127},
        {QString(1000, 'e'), 127},
        {QString(), 0},
        // A character outside the basic plane is never split in two.
        {QString(126, 'f') + QString::fromUcs4(U"\U0001F3D2") + "g", 126},
        {QString(125, 'h') + QString::fromUcs4(U"\U0001F3D2") + "i", 127},
    };
    for (const auto& c : cases) {
        tray.SetTooltip(c.text);
        EXPECT_EQ(tray.GetTooltip().size(), c.kept) << c.text.size();
        EXPECT_EQ(tray.GetTooltip(), c.text.left(c.kept));
        EXPECT_EQ(shell.tooltip, tray.GetTooltip());
    }
    // The copy status text of three lines keeps its line breaks.
    const QString copying = "Halvane\nCopy files (Running)\r\n42% D:\\Game\\cam1.mp4";
    tray.SetTooltip(copying);
    EXPECT_EQ(tray.GetTooltip(), copying);
}

TEST_F(SystemTrayTest, RightClickShowsTheMenuWithTheFramesStates) {
    CSystemTray tray(owner, test::FakeTrayFactory(shell));
    ASSERT_TRUE(tray.AddIcon("Halvane"));
    owner.states[cmd::AdvancedStart] = {false, false};  // execution on
    owner.states[cmd::Settings] = {false, false};       // status "Running"
    owner.states[cmd::CrestronLog] = {true, true};
    owner.states[cmd::PlayPosLog] = {true, true};

    QString shape;
    QString defaultText;
    QStringList prompts;
    shell.pick = [&](QMenu& menu) -> QAction* {
        shape = Describe(menu);
        defaultText = menu.defaultAction() != nullptr ? menu.defaultAction()->text() : QString();
        for (const unsigned command : {cmd::StartNewGame, cmd::StartArchivedGame, cmd::Settings, cmd::Exit}) {
            prompts << FindAction(menu, command)->statusTip();
        }
        return nullptr;  // dismissed
    };
    shell.click(TrayClick::RightButtonUp);
    EXPECT_EQ(shell.menusShown, 1);
    EXPECT_EQ(owner.foregrounds, 1);
    EXPECT_EQ(shape,
              "Start new game|Stop the game|Archive the game...|Start archived game|-|"
              ">Advanced[Start!|Stop|-|Settings...!|>Debug[Kestrilo Log|Crestron Log*|PlayPos Log*|Test]]|"
              ">Language[English|Russian]|E&xit");
    EXPECT_EQ(defaultText, "Start new game");
    EXPECT_EQ(prompts, (QStringList{"Send commands to start recording", "", "Change settings",
                                    "Quit the application"}));
    EXPECT_TRUE(owner.commands.empty());

    // A chosen item reaches the frame; a grayed one does not.
    shell.pick = [](QMenu& menu) { return FindAction(menu, cmd::AdvancedStop); };
    shell.click(TrayClick::RightButtonUp);
    shell.pick = [](QMenu& menu) { return FindAction(menu, cmd::AdvancedStart); };
    shell.click(TrayClick::RightButtonUp);
    shell.pick = [](QMenu& menu) { return FindAction(menu, cmd::Exit); };
    shell.click(TrayClick::RightButtonUp);
    EXPECT_EQ(owner.commands, (std::vector<unsigned>{cmd::AdvancedStop, cmd::Exit}));

    // The menu is built anew each time: changed states show at once.
    owner.states[cmd::AdvancedStart] = {true, false};
    owner.states[cmd::CrestronLog] = {true, false};
    shell.pick = [&](QMenu& menu) -> QAction* {
        shape = Describe(menu);
        return nullptr;
    };
    shell.click(TrayClick::RightButtonUp);
    EXPECT_TRUE(shape.contains(">Advanced[Start|Stop|")) << shape.toStdString();
    EXPECT_TRUE(shape.contains("|Crestron Log|PlayPos Log*|")) << shape.toStdString();
}

TEST_F(SystemTrayTest, DoubleClickRunsTheDefaultCommand) {
    CSystemTray tray(owner, test::FakeTrayFactory(shell));
    ASSERT_TRUE(tray.AddIcon("Halvane"));
    shell.click(TrayClick::LeftDoubleClick);
    EXPECT_EQ(owner.commands, (std::vector<unsigned>{cmd::StartNewGame}));
    EXPECT_EQ(shell.menusShown, 0);
    shell.click(TrayClick::Other);  // a single click does nothing
    EXPECT_EQ(owner.commands.size(), 1u);
    tray.OnTrayCallback(129, TrayClick::LeftDoubleClick);  // not our icon
    EXPECT_EQ(owner.commands.size(), 1u);
}

TEST_F(SystemTrayTest, ClicksDoNothingWhileTheMenuIsDisabled) {
    CSystemTray tray(owner, test::FakeTrayFactory(shell));
    ASSERT_TRUE(tray.AddIcon("Halvane"));
    shell.pick = [](QMenu& menu) { return FindAction(menu, cmd::StopGame); };
    tray.SetMenuEnabled(false);
    EXPECT_FALSE(tray.MenuEnabled());
    shell.click(TrayClick::RightButtonUp);
    shell.click(TrayClick::LeftDoubleClick);
    EXPECT_EQ(shell.menusShown, 0);
    EXPECT_EQ(owner.foregrounds, 0);
    EXPECT_TRUE(owner.commands.empty());

    tray.SetMenuEnabled(true);
    shell.click(TrayClick::RightButtonUp);
    EXPECT_EQ(owner.commands, (std::vector<unsigned>{cmd::StopGame}));
}

TEST_F(SystemTrayTest, ClicksWhileTheMenuIsOpenAreIgnored) {
    CSystemTray tray(owner, test::FakeTrayFactory(shell));
    ASSERT_TRUE(tray.AddIcon("Halvane"));
    shell.pick = [&](QMenu& menu) -> QAction* {
        shell.click(TrayClick::RightButtonUp);     // arrives inside the menu's own loop
        shell.click(TrayClick::LeftDoubleClick);
        return FindAction(menu, cmd::Test);
    };
    shell.click(TrayClick::RightButtonUp);
    EXPECT_EQ(shell.menusShown, 1);
    EXPECT_EQ(owner.commands, (std::vector<unsigned>{cmd::Test}));
}

TEST_F(SystemTrayTest, MenuFollowsTheLanguageChosen) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("config"));
    ASSERT_TRUE(QFile::copy(QDir(QCoreApplication::applicationDirPath()).filePath("Halvane_0x0419.lng"),
                            dir.filePath("Halvane_0x0419.lng")));
    UiLanguage::Instance().Init(dir.path(), "Halvane");

    CSystemTray tray(owner, test::FakeTrayFactory(shell));
    ASSERT_TRUE(tray.AddIcon(LoadStringOrMark(507)));
    QString shape;
    shell.pick = [&](QMenu& menu) -> QAction* {
        shape = Describe(menu);
        return FindAction(menu, cmd::Russian);
    };
    shell.click(TrayClick::RightButtonUp);
    EXPECT_TRUE(shape.startsWith("Start new game|")) << shape.toStdString();
    ASSERT_EQ(owner.commands.back(), cmd::Russian);

    // The frame's Russian command.
    tray.SetMenuEnabled(false);
    EXPECT_EQ(ChooseLanguage(kRussianLanguageId), 1049u);
    tray.SetMenuEnabled(true);
    EXPECT_EQ(tray.GetTooltip(), "Halvane\nStopped");  // shown texts stay until set again

    shell.pick = [&](QMenu& menu) -> QAction* {
        shape = Describe(menu);
        return nullptr;
    };
    shell.click(TrayClick::RightButtonUp);
    EXPECT_TRUE(shape.startsWith(QString::fromUtf8("Начать новую игру|Остановить игру|")))
        << shape.toStdString();
    EXPECT_TRUE(shape.contains(QString::fromUtf8(">Язык[English|Русский]"))) << shape.toStdString();
    tray.SetTooltip(LoadStringOrMark(508));
    EXPECT_EQ(tray.GetTooltip(), QString::fromUtf8("Halvane\nРаботает"));
}

TEST(StatusIcons, AreNineDistinctPicturesAndAnApplicationIcon) {
    std::vector<QImage> images;
    for (unsigned id = kFirstStatusIconId; id <= kLastStatusIconId; ++id) {
        const QIcon icon = LoadIconResource(id);
        ASSERT_FALSE(icon.isNull()) << id;
        for (const int size : {16, 32}) {
            const QImage image = icon.pixmap(size, size).toImage();
            ASSERT_EQ(image.width(), size) << id;
            // Something is drawn, and not just in one colour.
            int opaque = 0;
            QRgb first = 0;
            bool varied = false;
            for (int y = 0; y < size; ++y) {
                for (int x = 0; x < size; ++x) {
                    const QRgb p = image.pixel(x, y);
                    if (qAlpha(p) > 200) {
                        if (opaque++ == 0) first = p;
                        varied = varied || p != first;
                    }
                }
            }
            EXPECT_GT(opaque, size * size / 3) << id;
            EXPECT_TRUE(varied) << id;
        }
        images.push_back(LoadIconResource(id).pixmap(32, 32).toImage());
    }
    for (size_t a = 0; a < images.size(); ++a) {
        for (size_t b = a + 1; b < images.size(); ++b) {
            EXPECT_NE(images[a], images[b]) << 310 + a << " and " << 310 + b;
        }
    }
    EXPECT_FALSE(LoadIconResource(kAppIconId).isNull());
    EXPECT_TRUE(LoadIconResource(309).isNull());
    EXPECT_TRUE(LoadIconResource(319).isNull());
}

TEST(AboutBox, ShowsTheProgramsNameAndVersion) {
    UiLanguage::Instance().Init(QString(), QStringLiteral("Halvane"));
    const auto box = CreateAboutBox();
    EXPECT_EQ(box->windowTitle(), "About Halvane");
    const auto* version = box->findChild<QLabel*>("version");
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->text(), "Halvane, Version 1.0");
    const auto* icon = box->findChild<QLabel*>("icon");
    ASSERT_NE(icon, nullptr);
    EXPECT_FALSE(icon->pixmap().isNull());
}

TEST(QtTrayBackend, RefusesWithoutANotificationAreaAndIsMadeOnce) {
    // The offscreen platform has no notification area.
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    FakeOwner owner;
    int made = 0;
    const TrayBackendFactory real = QtTrayBackendFactory();
    CSystemTray tray(owner, [&](std::function<void(TrayClick)> onClick) {
        ++made;
        return real(std::move(onClick));
    });
    for (int second = 0; second < 5; ++second) EXPECT_FALSE(tray.AddIcon("Halvane"));
    EXPECT_EQ(made, 1);
    EXPECT_EQ(tray.GetTooltip(), "");
    EXPECT_EQ(QApplication::topLevelWidgets().size(), 0);
}

}  // namespace
}  // namespace hv
