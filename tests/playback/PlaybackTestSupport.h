#pragma once
// A suite configuration with two players in a temporary folder, and the installed
// playback components.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <ostream>

#include "platform/ComponentFactory.h"
#include "platform/Guid.h"

inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace hv::test {

inline Guid MakeGuid(const char* text) {
    Guid id;
    EXPECT_TRUE(Guid::Parse(QString::fromLatin1(text), id)) << text;
    return id;
}

struct PlayerEntry {
    QString displayName;
    QString regName;
    QString id;
    QString param;
};

class PlaybackFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root_.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, root_.filePath("user"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, root_.filePath("system"));
        QDir().mkpath(root_.filePath("nocomponents"));
        WritePlayers({
            {"Main player", "Lumentra.Main", "{11111111-2222-3333-4444-555555555555}", "7"},
            {"Second player", "Lumentra.Second", "{66666666-7777-8888-9999-AAAAAAAAAAAA}", "2"},
        });
    }

    void WritePlayers(const std::vector<PlayerEntry>& players) {
        QSettings suite(root_.filePath("user/Tervanix/ZandrelSoftware.conf"), QSettings::IniFormat);
        suite.remove("Players");
        suite.beginWriteArray("Players", static_cast<int>(players.size()));
        for (size_t i = 0; i < players.size(); ++i) {
            suite.setArrayIndex(static_cast<int>(i));
            suite.setValue("DisplayName", players[i].displayName);
            suite.setValue("RegName", players[i].regName);
            suite.setValue("Id", players[i].id);
            suite.setValue("Param", players[i].param);
        }
        suite.endArray();
    }

    QTemporaryDir root_;
    ComponentFactory components_{QCoreApplication::applicationDirPath() + "/components"};
    ComponentFactory noComponents_{root_.filePath("nocomponents")};
};

}  // namespace hv::test
