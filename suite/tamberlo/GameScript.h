#pragma once
// The referee console's scripted game and the file it comes from: the file is read again
// whenever its content changes, so that a game can go on while the console runs; a script
// that cannot be used is reported once and the game read so far stays.

#include <QByteArray>
#include <QString>

#include "ScriptedGame.h"

namespace zandrel {

class GameScript {
public:
    // An empty path is the empty game.
    explicit GameScript(QString path) : path_(std::move(path)) {}

    // Reads the file again when its content changed. False when the first reading fails.
    bool Refresh();

    const ScriptedGame& Game() const { return game_; }
    const QString& Path() const { return path_; }

private:
    void ReportOnce(const QString& error);

    QString path_;
    QByteArray content_;
    bool loaded_ = false;
    QString lastError_;
    ScriptedGame game_;
};

}  // namespace zandrel
