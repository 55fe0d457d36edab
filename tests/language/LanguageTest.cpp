// The user-interface language: language files, the language table, switching and the
// "Locale" value, over real files in temporary folders.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>

#include "language/LangTable.h"
#include "language/Language.h"
#include "language/LanguageFile.h"
#include "language/MessageText.h"
#include "res/MenuResource.h"
#include "res/StringTable.h"

namespace hv {
namespace {

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(bytes);
}

QString ShippedRussianFile() {
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("Halvane_0x0419.lng"));
}

// A folder standing for the executable's, with the settings redirected into it; the
// language state goes back to the built-in texts afterwards.
class LanguageFolder : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("config"));
        Settings().clear();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        UiLanguage::Instance().Init(dir.path(), QStringLiteral("Halvane"));
    }
    void TearDown() override {
        UiLanguage::Instance().Init(QString(), QStringLiteral("Halvane"));
        QLocale::setDefault(QLocale::c());
    }
    static QSettings Settings() {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Tervanix", "Halvane");
    }
    void CopyRussian(const QString& name = QStringLiteral("Halvane_0x0419.lng")) {
        ASSERT_TRUE(QFile::copy(ShippedRussianFile(), dir.filePath(name)));
    }
    // Start-up as the program does it, over this folder.
    void Restart() {
        UiLanguage::Instance().Init(dir.path(), QStringLiteral("Halvane"));
        UiLanguage::Instance().SetLanguage(ReadLocaleSetting());
    }

    QTemporaryDir dir;
};

TEST(LanguageIdFromFileName, ReadsTheHexAfterTheLastX) {
    const struct {
        const char* name;
        unsigned id;
    } cases[] = {
        {"Halvane_0x0419.lng", 1049},
        {"Halvane_0x0407.lng", 1031},
        {"/opt/halvane/Halvane_0x0409.lng", 0x0409},
        {"/tmp/xx/Halvane.lng", 0},          // only the file name counts
        {"Halvane.lng", 0},                  // no x at all
        {"Halvane_0x0419.old.lng", 0x0419},  // cut at the first dot
        {"Halvane_0x04zz.lng", 4},           // hex digits up to the first other character
        {"Halvane_x19.lng", 0},              // "_x19" is not a number
        {"Halvane_0x0419x.lng", 9},          // the last x is the one that counts
        {"Halvane_0xC0A.lng", 0x0C0A},
        {"x", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LanguageIdFromFileName(QString::fromUtf8(c.name)), c.id) << c.name;
    }
}

TEST(LanguageFileFormat, ParsesSectionsEscapesAndQuotes) {
    const QByteArray text =
        "\xEF\xBB\xBF# comment\r\n"
        "; another\n"
        "[strings]\r\n"
        "523 = Line one\\n\\nLine two\\t\\\\ \\\"q\\\" \\x41\\q\r\n"
        "511=\"  %d ms  \"\n"
        "bad=ignored\n"
        "70000=too big\n"
        "no equals sign here\n"
        "[menu]\n"
        "32780=Start\n"
        "Advanced=More\n"
        "[dialog 319]\n"
        "caption=Settings=all\n"
        "[texts]\n"
        "Run Vortamo=Go\n"
        "[unknown]\n"
        "1=lost\n";
    LanguageTexts texts;
    QString notes;
    ASSERT_TRUE(ParseLanguageFile(text, texts, &notes));
    EXPECT_EQ(texts.strings.at(523), QString("Line one\n\nLine two\t\\ \"q\" A\\q"));
    EXPECT_EQ(texts.strings.at(511), QString("  %d ms  "));
    EXPECT_EQ(texts.strings.size(), 2u);
    EXPECT_EQ(texts.menu.value("32780"), "Start");
    EXPECT_EQ(texts.menu.value("Advanced"), "More");
    EXPECT_EQ((texts.dialogs.at({319u, QString("caption")})), "Settings=all");
    EXPECT_EQ(texts.texts.value("Run Vortamo"), "Go");
    EXPECT_TRUE(notes.contains("line 6")) << notes.toStdString();
    EXPECT_TRUE(notes.contains("line 8")) << notes.toStdString();

    // Escaping and reading back gives the same text.
    for (const QString& s : {QString("a\nb\r\tc\\d"), QString("  blanks  "), QString("\"quoted\"")}) {
        LanguageTexts round;
        ASSERT_TRUE(ParseLanguageFile("[strings]\n1=" + EscapeText(s).toUtf8() + "\n", round));
        EXPECT_EQ(round.strings.at(1), s);
    }
}

TEST(LanguageFileFormat, RejectsTextThatIsNotUtf8) {
    LanguageTexts texts;
    QString error;
    EXPECT_FALSE(ParseLanguageFile("[strings]\n1=\xC3\x28\n", texts, &error));
    EXPECT_FALSE(error.isEmpty());
}

TEST(BuiltInStrings, AreEnglishAndUnknownIdsAreMarked) {
    UiLanguage::Instance().Init(QString(), QStringLiteral("Halvane"));
    EXPECT_EQ(LoadStringOrMark(523), "Some files not copied yet!\n\nDo you want to stop file coping and exit?");
    EXPECT_EQ(LoadStringOrMark(501), "Halvane\nGame finished");
    EXPECT_EQ(LoadStringOrMark(510), "Halvane\nCopy files (Running)");
    EXPECT_EQ(LoadStringOrMark(32780), "Send commands to start recording");
    EXPECT_EQ(LoadStringOrMark(999), "UNTRANSLATED");
    EXPECT_EQ(LoadMenuCommandText(32780), "Start new game");
    EXPECT_EQ(LoadDialogText(kAboutDialogId, "caption"), "About Halvane");
    EXPECT_EQ(LoadDialogText(kAboutDialogId, "version"), "Halvane, Version 1.0");
    EXPECT_EQ(LoadUiText("Run Vortamo"), "Run Vortamo");
    for (const StringEntry& e : BuiltInStrings()) {
        EXPECT_EQ(LoadStringOrMark(e.id), QString::fromUtf8(e.text)) << e.id;
    }
}

// The workflows' messages word for word, line breaks (\n or \r\n) and spelling included:
// the program shows them as they have always read.
TEST(BuiltInStrings, TheWorkflowMessagesReadExactlyAsTheyAlwaysHave) {
    UiLanguage::Instance().Init(QString(), QStringLiteral("Halvane"));
    const struct {
        unsigned id;
        const char* text;
    } messages[] = {
        {514, "Can't create queue!\nTry reinstall Zandrel software."},
        {521, "Now we ready to start new game."},
        {522, "File coping is not finished yet!\n\nWait finish and try again."},
        {525, "Can't start Ostrimund.exe!"},
        {527, "Are you ready to archive the game?"},
        {528, "Are you ready to start the game?"},
        {529, "Are you ready to stop the game?"},
        {530, "Video archive root folder was not specified!\n\nChoose root folder and try again."},
        {531, "Vortamo root folder was not specified!\n\nChoose root folder and try again."},
        {532, "Can't start the Vortamo application!\r\n\r\nDo you want to continue without Vortamo?"},
        {533, "Score board info is not reseted now!\n\nContinue with wrang time info?"},
        {535, "New game is recoding now."},
        {536, "Game is not recording now!\n\nDo you want to continue?"},
        {537, "Game recoding was stopped."},
        {538, "Can't send command to application Vortamo!"},
        {539, "Can't send command to application Kestrilo!"},
        {540, "No answer from Kestrilo application!\n\nCheck the application and click OK to continue."},
        {547, "Can't close Dravenor application"},
        {548, "Can't close Kestrilo application"},
        {549, "Can't close Vortamo application"},
        {550, "There is no periods!"},
        {551, "Game info was restored successfully."},
        {552, "ERROR - big time difference with Vortamo PC:\r\n%d ms\r\n\r\nCorrect time and try again."},
        {553, "The computer's clock can't be read as a date!\n\nSet the date and time of this computer and try again."},
    };
    for (const auto& m : messages) EXPECT_EQ(LoadStringOrMark(m.id), QString::fromUtf8(m.text)) << m.id;
}

TEST_F(LanguageFolder, TableListsTheExecutablesLanguageFilesOnly) {
    CopyRussian();
    WriteFile(dir.filePath("Halvane_0x0407.lng"), "[strings]\n523=Deutsch\n");
    WriteFile(dir.filePath("Other_0x0409.lng"), "");      // another program's
    WriteFile(dir.filePath("Halvane_0x0411.txt"), "");    // not a language file
    WriteFile(dir.filePath("Halvane_1x0412.lng"), "");    // not "_0x"
    const LangTable table = LangTable::Scan(dir.path(), "Halvane");
    ASSERT_EQ(table.Count(), 3);
    EXPECT_EQ(table.Entry(0).languageId, 0u);
    EXPECT_TRUE(table.Entry(0).filePath.isEmpty());
    EXPECT_EQ(table.Entry(0).helpPath, dir.filePath("Halvane.hlp"));
    EXPECT_EQ(table.Entry(1).languageId, 1031u);
    EXPECT_EQ(table.Entry(1).helpPath, dir.filePath("Halvane_0x0407.hlp"));
    EXPECT_EQ(table.Entry(2).languageId, 1049u);
    EXPECT_EQ(table.Find(1049), 2);
    EXPECT_EQ(table.Find(0x0409), -1);
}

TEST_F(LanguageFolder, TableHoldsAtMostOneHundredEntries) {
    for (int i = 0; i < 120; ++i) {
        WriteFile(dir.filePath(QString("Halvane_0x%1.lng").arg(0x1000 + i, 4, 16, QChar('0'))), "");
    }
    const LangTable table = LangTable::Scan(dir.path(), "Halvane");
    EXPECT_EQ(table.Count(), LangTable::kMaxEntries);
    EXPECT_EQ(table.Entry(99).languageId, 0x1000u + 98);
}

TEST_F(LanguageFolder, LocaleForRussianWithoutTheFileGivesEnglish) {
    Settings().setValue("Locale", 1049);
    Restart();
    EXPECT_EQ(UiLanguage::Instance().CurrentLanguageId(), 0u);
    EXPECT_EQ(LoadStringOrMark(523), "Some files not copied yet!\n\nDo you want to stop file coping and exit?");
    EXPECT_EQ(LoadMenuCommandText(32780), "Start new game");
}

TEST_F(LanguageFolder, ChoosingRussianSwitchesTextsAndSavesTheLocale) {
    CopyRussian();
    Restart();  // no "Locale" and an English-speaking user: English
    EXPECT_EQ(LoadStringOrMark(507), "Halvane\nStopped");

    EXPECT_EQ(ChooseLanguage(kRussianLanguageId), 1049u);
    EXPECT_EQ(Settings().value("Locale").toUInt(), 1049u);
    EXPECT_EQ(LoadStringOrMark(507), QString::fromUtf8("Halvane\nОстановлено"));
    EXPECT_EQ(LoadMenuCommandText(32780), QString::fromUtf8("Начать новую игру"));
    EXPECT_EQ(LoadSubmenuText("Advanced"), QString::fromUtf8("Дополнительно"));
    EXPECT_EQ(LoadDialogText(kAboutDialogId, "caption"), QString::fromUtf8("О программе Halvane"));
    EXPECT_EQ(LoadUiText("Run Vortamo"), QString::fromUtf8("Запуск Vortamo"));

    // The choice holds over a restart.
    Restart();
    EXPECT_EQ(UiLanguage::Instance().CurrentLanguageId(), 1049u);

    // Back to English: 0 is saved.
    EXPECT_EQ(ChooseLanguage(0), 0u);
    EXPECT_EQ(Settings().value("Locale").toUInt(), 0u);
    EXPECT_EQ(LoadStringOrMark(507), "Halvane\nStopped");
}

TEST_F(LanguageFolder, RussianChosenThenFileRemovedGivesEnglishAndSavesZero) {
    CopyRussian();
    Restart();
    ASSERT_EQ(ChooseLanguage(kRussianLanguageId), 1049u);
    ASSERT_TRUE(QFile::remove(dir.filePath("Halvane_0x0419.lng")));
    Restart();
    EXPECT_EQ(LoadStringOrMark(523), "Some files not copied yet!\n\nDo you want to stop file coping and exit?");
    EXPECT_EQ(ChooseLanguage(kRussianLanguageId), 0u);
    EXPECT_EQ(Settings().value("Locale").toUInt(), 0u);
}

TEST_F(LanguageFolder, UnreadableFileLeavesEnglish) {
    WriteFile(dir.filePath("Halvane_0x0419.lng"), "[strings]\n523=\xFF\xFE broken\n");
    Restart();
    EXPECT_FALSE(UiLanguage::Instance().SetLanguage(kRussianLanguageId));
    EXPECT_EQ(UiLanguage::Instance().CurrentLanguageId(), 0u);
    EXPECT_EQ(ChooseLanguage(kRussianLanguageId), 0u);
    EXPECT_EQ(LoadStringOrMark(514), "Can't create queue!\nTry reinstall Zandrel software.");
}

TEST_F(LanguageFolder, StringMissingFromTheFileIsUntranslated) {
    WriteFile(dir.filePath("Halvane_0x0419.lng"),
              "[strings]\n514=Queue\n[menu]\n32781=Stop it\n");
    Restart();
    ASSERT_TRUE(UiLanguage::Instance().SetLanguage(kRussianLanguageId));
    EXPECT_EQ(LoadStringOrMark(514), "Queue");
    EXPECT_EQ(LoadStringOrMark(523), "UNTRANSLATED");
    // Menu, dialog and step texts the file lacks stay English.
    EXPECT_EQ(LoadMenuCommandText(32781), "Stop it");
    EXPECT_EQ(LoadMenuCommandText(32780), "Start new game");
    EXPECT_EQ(LoadDialogText(kSettingsDialogId, "caption"), "Halvane Settings");
    EXPECT_EQ(LoadUiText("Close Vortamo"), "Close Vortamo");
}

TEST_F(LanguageFolder, GermanFileIsUsableThroughTheLocaleValue) {
    WriteFile(dir.filePath("Halvane_0x0407.lng"), "[strings]\n523=Dateien fehlen\n");
    Restart();
    const LangTable table = UiLanguage::Instance().Table();
    ASSERT_EQ(table.Count(), 2);
    EXPECT_EQ(table.Entry(1).languageId, 1031u);

    Settings().setValue("Locale", 1031);
    Restart();
    EXPECT_EQ(UiLanguage::Instance().CurrentLanguageId(), 1031u);
    EXPECT_EQ(LoadStringOrMark(523), "Dateien fehlen");
}

TEST_F(LanguageFolder, MissingLocaleFollowsTheUsersLanguage) {
    CopyRussian();
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    EXPECT_EQ(UserDefaultLanguageId(), 1049u);
    Restart();
    EXPECT_EQ(UiLanguage::Instance().CurrentLanguageId(), 1049u);
    EXPECT_FALSE(Settings().contains("Locale"));  // read, not written

    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(UserDefaultLanguageId(), 1031u);
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(UserDefaultLanguageId(), 0x0409u);
}

// The format directives (%d, %s, %%) of a text, in order.
QStringList Directives(const QString& text) {
    static const QRegularExpression directive(QStringLiteral("%[-+ #0]*[0-9]*(?:\\.[0-9]+)?[a-zA-Z%]"));
    QStringList found;
    for (auto it = directive.globalMatch(text); it.hasNext();) found << it.next().captured();
    return found;
}

TEST(ShippedRussianFile, TranslatesEveryText) {
    LanguageTexts ru;
    QString notes;
    ASSERT_TRUE(LoadLanguageFile(ShippedRussianFile(), ru, &notes));
    EXPECT_TRUE(notes.isEmpty()) << notes.toStdString();

    for (const StringEntry& e : BuiltInStrings()) {
        const auto found = ru.strings.find(e.id);
        ASSERT_NE(found, ru.strings.end()) << "string " << e.id;
        EXPECT_FALSE(found->second.isEmpty()) << e.id;
        // The program fills these texts with printf: the directives must be the same.
        EXPECT_EQ(Directives(found->second), Directives(QString::fromUtf8(e.text))) << e.id;
        EXPECT_EQ(found->second.count('\n'), QString::fromUtf8(e.text).count('\n')) << e.id;
    }
    EXPECT_EQ(ru.strings.size(), BuiltInStrings().size());
    for (const MenuCommandText& c : MenuCommandTexts()) {
        EXPECT_TRUE(ru.menu.contains(QString::number(c.command))) << "menu " << c.command;
    }
    for (const char* name : MenuSubmenuNames()) {
        EXPECT_TRUE(ru.menu.contains(QString::fromUtf8(name))) << "submenu " << name;
    }
    for (const DialogTextDef& d : DialogTexts()) {
        EXPECT_TRUE(ru.dialogs.count({d.dialog, QString::fromUtf8(d.key)})) << d.dialog << " " << d.key;
    }
    for (const char* text : FreeTexts()) {
        EXPECT_TRUE(ru.texts.contains(QString::fromUtf8(text))) << text;
    }
}

TEST(MenuData, FirstSubmenuDefaultIsStartNewGame) {
    EXPECT_EQ(FirstSubmenuCommand(kDefaultMenuPosition), cmd::StartNewGame);
    EXPECT_EQ(FirstSubmenuCommand(4), 0u);   // the separator
    EXPECT_EQ(FirstSubmenuCommand(7), cmd::Exit);
    EXPECT_EQ(FirstSubmenuCommand(8), 0u);
    ASSERT_EQ(MainMenu().size(), 2u);
    EXPECT_STREQ(MainMenu()[1].text, "&Help");
    EXPECT_EQ(MainMenu()[1].children[0].command, cmd::About);
}

// Texts from language files are filled, never given to printf: whatever fields a
// translator writes, only the values given show, each in its own place.
TEST(FillMessage, FieldsTakeTheValuesInOrderAndAnythingElseStaysAsWritten) {
    const struct {
        const char* format;
        const char* expected;
    } cases[] = {
        {"Can't open file:\n%s\nError = %d.", "Can't open file:\n/a/refresh.tmp\nError = 21."},
        {"%d then %s", "/a/refresh.tmp then 21"},               // order is the text's
        {"%s %s %s %s %s", "/a/refresh.tmp 21 %s %s %s"},       // more fields than values
        {"only %s", "only /a/refresh.tmp"},                     // fewer
        {"%n%x%p%08.3f%ls %", "%n%x%p%08.3f%ls %"},            // printf's others are text
        {"100%% %s%", "100% /a/refresh.tmp%"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FillMessage(QString::fromUtf8(c.format), {QStringLiteral("/a/refresh.tmp"), 21}),
                  QString::fromUtf8(c.expected))
            << c.format;
    EXPECT_EQ(FillMessage(QStringLiteral("%s=%d"), {"%d%s", -7LL}), QStringLiteral("%d%s=-7"))
        << "a value's own percent signs are never read as fields";
}

}  // namespace
}  // namespace hv
