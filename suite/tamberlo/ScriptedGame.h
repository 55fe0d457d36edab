#pragma once
// A game as the referee console stand-in plays it back: its clock, cameras, periods and
// events, read from a JSON script, and the console's XML answer to each request.
//
// Script (all times UTC, ISO 8601):
// {
//   "now": "2022-01-20T11:05:00Z",                  game time reported by "TimeInfo";
//                                                   optional, default: the current time
//   "playAudioCam": 0,                              optional
//   "cameras": ["{...}", "{...}"],
//   "eventTypes": ["Драка", ...],                   optional; default: the eight names
//   "periods": [{"start": "...", "endScore": "1:0"}, ...],
//   "events": [{"type": "Гол", "period": 1, "time": "...", "score": "0:0",
//               "nextScore": "1:0", "fromStart": "05:12"}, ...],
//   "timeline": {                                   optional: the game played live from
//     "periods": [{"start": 5, "end": 65, "endScore": "1:0"}, ...],      "NewGame" on,
//     "events": [{"type": "Гол", "period": 1, "at": 20, "nextScore": "1:0"}, ...]
//   }                                               times in seconds after "NewGame"
// }
// The periods and events of the timeline appear as the game clock passes their times; the
// console announces each period's start and end as a split.

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

namespace zandrel {

// One live run of a game: when "NewGame" started it and when "StopGame" froze its clock
// (100-ns units since 1601; 0 for not yet).
struct GameRun {
    std::uint64_t started = 0;
    std::uint64_t frozenAt = 0;
};

// A period's start (number k) or end (number -k) on the live game's clock.
struct GameSplit {
    int number = 0;
    std::uint64_t time = 0;
};

class ScriptedGame {
public:
    // False with a reason in `error` when the script cannot be used; the game is then
    // left as it was.
    bool Load(const QJsonObject& script, QString* error = nullptr);
    bool LoadFile(const QString& path, QString* error = nullptr);

    // The XML answer to one request ("TimeInfo", "CameraInfo", "PeriodInfo", "EventTypes",
    // "EventCount<name>", "EventInfo<index>_<name>"); empty when the request is unknown or
    // asks for an event the game does not have.
    QString Answer(const QString& request) const;

    // The game as it stands at `now` of a live run: the fixed periods and events plus
    // those of the timeline that are due, the clock stopped where the run was frozen.
    ScriptedGame At(const GameRun& run, std::uint64_t now) const;
    // The period starts and ends of the timeline that fall after `from` and up to `to`,
    // in time order.
    std::vector<GameSplit> SplitsBetween(const GameRun& run, std::uint64_t from, std::uint64_t to) const;
    bool HasTimeline() const { return !timelinePeriods_.empty() || !timelineEvents_.empty(); }
    // The run with its clock stopped where the timeline ends, so that all its periods and
    // events are due; a run already frozen stays as it is.
    GameRun PlayedOut(GameRun run) const;
    // The run of this game that ended at `now`, played out.
    GameRun EndedAt(std::uint64_t now) const;

private:
    struct TimedPeriod {
        double start = 0;
        double end = -1;  // none
        QString endScore;
    };
    struct TimedEvent {
        QString type;
        int period = 0;
        double at = 0;
        QString score;
        QString nextScore;
    };
    struct Period {
        std::uint64_t start = 0;
        QString endScore;
    };
    struct Event {
        QString type;
        int period = 0;
        std::uint64_t time = 0;
        QString score;
        QString nextScore;
        QString fromStart;
    };
    std::vector<const Event*> EventsOfType(const QString& type) const;
    // Seconds after "NewGame" of the timeline's last period start or end or event.
    double TimelineEnd() const;

    std::uint64_t now_ = 0;
    int playAudioCam_ = -1;
    QStringList cameras_;
    QStringList eventTypes_;
    std::vector<Period> periods_;
    std::vector<Event> events_;
    std::vector<TimedPeriod> timelinePeriods_;
    std::vector<TimedEvent> timelineEvents_;
};

// 100-ns units since 1601 of an ISO 8601 UTC date and time; 0 when it does not parse.
std::uint64_t ParseUtc(const QString& iso);
// The current time (UTC) in 100-ns units since 1601.
std::uint64_t CurrentUtc();

}  // namespace zandrel
