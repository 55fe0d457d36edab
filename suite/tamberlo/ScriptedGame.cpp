#include "ScriptedGame.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <algorithm>

namespace zandrel {

namespace {

constexpr std::uint64_t kUnixEpochAsFileTime = 116'444'736'000'000'000ULL;

std::uint64_t FromDateTime(const QDateTime& t) {
    const qint64 ms = t.toMSecsSinceEpoch();
    // Nothing before 1601 can be told.
    if (ms < -static_cast<qint64>(kUnixEpochAsFileTime / 10'000ULL)) return 0;
    return kUnixEpochAsFileTime + static_cast<std::uint64_t>(ms) * 10'000ULL;
}

QString Hex32(std::uint32_t value) { return QString::number(value, 16).toUpper(); }

QString TimeAttributes(std::uint64_t t) {
    return QStringLiteral("THi=\"0x%1\" TLo=\"0x%2\"")
        .arg(Hex32(static_cast<std::uint32_t>(t >> 32)), Hex32(static_cast<std::uint32_t>(t)));
}

QString Escape(const QString& text) { return text.toHtmlEscaped(); }

QString Wrap(const QString& body) { return QStringLiteral("<Kestrilo>") + body + QStringLiteral("</Kestrilo>"); }

const QStringList kDefaultEventTypes = {
    QStringLiteral("Драка"),         QStringLiteral("Удаление игрока"),
    QStringLiteral("Выход на лёд игрока"), QStringLiteral("Синяя линия"),
    QStringLiteral("Гол"),           QStringLiteral("Булит"),
    QStringLiteral("Интересный момент"), QStringLiteral("Опасный момент")};

}  // namespace

std::uint64_t ParseUtc(const QString& iso) {
    const QDateTime t = QDateTime::fromString(iso, Qt::ISODateWithMs);
    if (!t.isValid()) return 0;
    return FromDateTime(t);
}

std::uint64_t CurrentUtc() {
    return kUnixEpochAsFileTime + static_cast<std::uint64_t>(QDateTime::currentMSecsSinceEpoch()) * 10'000ULL;
}

bool ScriptedGame::Load(const QJsonObject& script, QString* error) {
    auto fail = [error](const QString& why) {
        if (error) *error = why;
        return false;
    };
    // Read into a fresh game: a script that cannot be used leaves this one as it was.
    ScriptedGame game;
    if (script.contains("now")) {
        game.now_ = ParseUtc(script.value("now").toString());
        if (game.now_ == 0) return fail(QStringLiteral("\"now\" is not a valid time"));
    }
    game.playAudioCam_ = script.contains("playAudioCam") ? script.value("playAudioCam").toInt() : -1;
    for (const auto& c : script.value("cameras").toArray()) game.cameras_ << c.toString();
    game.eventTypes_ = kDefaultEventTypes;
    if (script.contains("eventTypes")) {
        game.eventTypes_.clear();
        for (const auto& t : script.value("eventTypes").toArray()) game.eventTypes_ << t.toString();
    }
    for (const auto& p : script.value("periods").toArray()) {
        const QJsonObject o = p.toObject();
        Period period{ParseUtc(o.value("start").toString()), o.value("endScore").toString("0:0")};
        if (period.start == 0) return fail(QStringLiteral("a period without a valid start"));
        game.periods_.push_back(period);
    }
    for (const auto& e : script.value("events").toArray()) {
        const QJsonObject o = e.toObject();
        Event event;
        event.type = o.value("type").toString();
        event.period = o.value("period").toInt();
        event.time = ParseUtc(o.value("time").toString());
        event.score = o.value("score").toString("0:0");
        event.nextScore = o.value("nextScore").toString();
        event.fromStart = o.value("fromStart").toString("00:00");
        if (event.type.isEmpty()) return fail(QStringLiteral("an event without a type"));
        game.events_.push_back(event);
    }
    const QJsonObject timeline = script.value("timeline").toObject();
    for (const auto& p : timeline.value("periods").toArray()) {
        const QJsonObject o = p.toObject();
        TimedPeriod period{o.value("start").toDouble(-1), o.value("end").toDouble(-1),
                           o.value("endScore").toString("0:0")};
        if (period.start < 0) return fail(QStringLiteral("a timeline period without a start"));
        if (period.end >= 0 && period.end < period.start)
            return fail(QStringLiteral("a timeline period that ends before it starts"));
        game.timelinePeriods_.push_back(period);
    }
    for (const auto& e : timeline.value("events").toArray()) {
        const QJsonObject o = e.toObject();
        TimedEvent event{o.value("type").toString(), o.value("period").toInt(), o.value("at").toDouble(-1),
                         o.value("score").toString("0:0"), o.value("nextScore").toString()};
        if (event.type.isEmpty() || event.at < 0) return fail(QStringLiteral("a timeline event without a type or time"));
        game.timelineEvents_.push_back(event);
    }
    *this = std::move(game);
    return true;
}

namespace {

constexpr double kUnitsPerSecond = 10'000'000.0;

std::uint64_t AfterStart(const GameRun& run, double seconds) {
    return run.started + static_cast<std::uint64_t>(seconds * kUnitsPerSecond);
}

// The live clock: the time now, or where StopGame froze it.
std::uint64_t RunClock(const GameRun& run, std::uint64_t now) {
    return run.frozenAt != 0 && run.frozenAt < now ? run.frozenAt : now;
}

QString MinutesSeconds(std::uint64_t units) {
    const std::uint64_t seconds = units / 10'000'000ULL;
    return QStringLiteral("%1:%2").arg(seconds / 60, 2, 10, QChar(u'0')).arg(seconds % 60, 2, 10, QChar(u'0'));
}

}  // namespace

ScriptedGame ScriptedGame::At(const GameRun& run, std::uint64_t now) const {
    ScriptedGame game = *this;
    if (run.started == 0) return game;
    const std::uint64_t clock = RunClock(run, now);
    if (now_ == 0) game.now_ = clock;
    for (const TimedPeriod& p : timelinePeriods_) {
        const std::uint64_t start = AfterStart(run, p.start);
        if (start > clock) continue;
        const bool ended = p.end >= 0 && AfterStart(run, p.end) <= clock;
        game.periods_.push_back({start, ended ? p.endScore : QStringLiteral("0:0")});
    }
    for (const TimedEvent& e : timelineEvents_) {
        const std::uint64_t time = AfterStart(run, e.at);
        if (time > clock) continue;
        std::uint64_t fromStart = 0;
        if (e.period >= 1 && static_cast<size_t>(e.period) <= timelinePeriods_.size()) {
            const std::uint64_t periodStart = AfterStart(run, timelinePeriods_[static_cast<size_t>(e.period - 1)].start);
            if (time > periodStart) fromStart = time - periodStart;
        }
        game.events_.push_back({e.type, e.period, time, e.score, e.nextScore, MinutesSeconds(fromStart)});
    }
    return game;
}

std::vector<GameSplit> ScriptedGame::SplitsBetween(const GameRun& run, std::uint64_t from, std::uint64_t to) const {
    std::vector<GameSplit> splits;
    if (run.started == 0) return splits;
    to = RunClock(run, to);
    for (size_t i = 0; i < timelinePeriods_.size(); ++i) {
        const int number = static_cast<int>(i) + 1;
        const std::uint64_t start = AfterStart(run, timelinePeriods_[i].start);
        if (start > from && start <= to) splits.push_back({number, start});
        if (timelinePeriods_[i].end < 0) continue;
        const std::uint64_t end = AfterStart(run, timelinePeriods_[i].end);
        if (end > from && end <= to) splits.push_back({-number, end});
    }
    std::stable_sort(splits.begin(), splits.end(),
                     [](const GameSplit& a, const GameSplit& b) { return a.time < b.time; });
    return splits;
}

double ScriptedGame::TimelineEnd() const {
    double end = 0;
    for (const TimedPeriod& p : timelinePeriods_) end = std::max({end, p.start, p.end});
    for (const TimedEvent& e : timelineEvents_) end = std::max(end, e.at);
    return end;
}

GameRun ScriptedGame::PlayedOut(GameRun run) const {
    if (run.started != 0 && run.frozenAt == 0) run.frozenAt = AfterStart(run, TimelineEnd());
    return run;
}

GameRun ScriptedGame::EndedAt(std::uint64_t now) const {
    const auto length = static_cast<std::uint64_t>(TimelineEnd() * kUnitsPerSecond);
    return length < now ? PlayedOut({now - length, 0}) : GameRun{};
}

bool ScriptedGame::LoadFile(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error) *error = QStringLiteral("cannot open ") + path;
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!doc.isObject()) {
        if (error) *error = parseError.errorString();
        return false;
    }
    return Load(doc.object(), error);
}

std::vector<const ScriptedGame::Event*> ScriptedGame::EventsOfType(const QString& type) const {
    std::vector<const Event*> found;
    for (const Event& e : events_)
        if (e.type == type) found.push_back(&e);
    return found;
}

QString ScriptedGame::Answer(const QString& request) const {
    if (request == QLatin1String("TimeInfo")) {
        // Without a scripted time the console reports its clock.
        const std::uint64_t now =
            now_ != 0 ? now_ : CurrentUtc();
        return Wrap(QStringLiteral("<TimeInfo><LastGameTime %1/></TimeInfo>").arg(TimeAttributes(now)));
    }

    if (request == QLatin1String("CameraInfo")) {
        QString body = playAudioCam_ >= 0
                           ? QStringLiteral("<Cameras PlayAudioCam=\"%1\">").arg(playAudioCam_)
                           : QStringLiteral("<Cameras>");
        for (int i = 0; i < cameras_.size(); ++i)
            body += QStringLiteral("<Cam Num=\"%1\" Id=\"%2\"/>").arg(i + 1).arg(Escape(cameras_[i]));
        return Wrap(body + QStringLiteral("</Cameras>"));
    }

    if (request == QLatin1String("PeriodInfo")) {
        QString body = QStringLiteral("<Periods>");
        for (size_t i = 0; i < periods_.size(); ++i)
            body += QStringLiteral("<Period Num=\"%1\" EndScore=\"%2\" %3/>")
                        .arg(i + 1)
                        .arg(Escape(periods_[i].endScore), TimeAttributes(periods_[i].start));
        return Wrap(body + QStringLiteral("</Periods>"));
    }

    if (request == QLatin1String("EventTypes")) {
        QString body = QStringLiteral("<EventTypes>");
        for (const QString& name : eventTypes_)
            body += QStringLiteral("<Type Name=\"%1\"/>").arg(Escape(name));
        return Wrap(body + QStringLiteral("</EventTypes>"));
    }

    if (request.startsWith(QLatin1String("EventCount"))) {
        const QString type = request.mid(10);
        return Wrap(QStringLiteral("<Events Count=\"%1\"/>").arg(EventsOfType(type).size()));
    }

    static const QRegularExpression eventInfo(QStringLiteral("^EventInfo(\\d+)_(.*)$"));
    const auto match = eventInfo.match(request);
    if (match.hasMatch()) {
        const auto events = EventsOfType(match.captured(2));
        bool isNumber = false;
        const qulonglong index = match.captured(1).toULongLong(&isNumber);
        // An event the game does not have gets no answer: an empty "Event" would be
        // taken for an event at time 0.
        if (!isNumber || index >= events.size()) return {};
        const Event& e = *events[static_cast<size_t>(index)];
        QString body = QStringLiteral("<Event><Time Period=\"%1\" %2 Score=\"%3\" FromStart=\"%4\"/>")
                           .arg(e.period)
                           .arg(TimeAttributes(e.time), Escape(e.score), Escape(e.fromStart));
        if (!e.nextScore.isEmpty())
            body += QStringLiteral("<NextScore Score=\"%1\"/>").arg(Escape(e.nextScore));
        return Wrap(body + QStringLiteral("</Event>"));
    }
    return {};
}

}  // namespace zandrel
