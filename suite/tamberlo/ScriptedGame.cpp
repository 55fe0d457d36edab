#include "ScriptedGame.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

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
    *this = std::move(game);
    return true;
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
            now_ != 0 ? now_ : FromDateTime(QDateTime::currentDateTimeUtc());
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
