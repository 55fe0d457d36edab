#pragma once
// The referee console at work: it holds the queue "Kestrilo", answers each request from
// its game as it stands, follows "NewGame", "StopGame" and "Exit", keeps its last game and
// announces the timeline's period starts and ends as splits (see Tamberlo.cpp).

#include <QCoreApplication>
#include <QStringList>
#include <QTimer>
#include <cstdint>

#include "CompanionQueue.h"
#include "GameScript.h"

namespace zandrel {

class RefereeConsole {
public:
    // `run` is the game's run as it was opened; `stateFolder` where the last game is kept.
    RefereeConsole(GameScript script, GameRun run, QString stateFolder);

    // Holds the queue and serves it until "Exit"; the exit code.
    int Run(QCoreApplication& app);

private:
    void Take(const hv::QueueMessage& m);
    void Exit();
    void NewGame();
    void StopGame();
    // A request, answered to `replyQueue` on `host`.
    void Answer(const QString& request, const QString& host, const QString& replyQueue);
    // The game's answer as it stands now, as the console is told to give it.
    QString GameAnswer(const QString& request);
    void AnnounceSplits();
    void SaveRun();
    bool Misbehaves(const char* word) const;

    GameScript script_;
    GameRun run_;
    const QString stateFolder_;
    const QStringList misbehave_;
    // How many "PeriodInfo" answers still go without start times (-1: all of them).
    int startlessLeft_ = -1;
    bool exiting_ = false;
    // Splits are announced after this time: a game opened again announces none it had.
    std::uint64_t splitsUpTo_ = 0;
    CompanionQueue queue_{[this](const hv::QueueMessage& m) { Take(m); }};
    QTimer splitTimer_;
};

}  // namespace zandrel
