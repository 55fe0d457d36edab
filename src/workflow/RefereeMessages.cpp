// The referee console's XML messages: the game clock, the cameras, the periods, the
// configured event types, and the events fetched one at a time. GUI thread only.
#include <QStringList>
#include <algorithm>
#include <array>
#include <mutex>
#include <vector>

#include "game/EventTypes.h"
#include "game/GameInfo.h"
#include "game/XmlDocument.h"
#include "language/Language.h"
#include "platform/Guid.h"
#include "platform/MessageBoxes.h"
#include "platform/Trace.h"
#include "workflow/CompanionLink.h"

namespace hv {

namespace {

constexpr unsigned kStringMissingEventNames = 518;
// Entries the period list is read into: periods 1 to 99 and one that is never counted.
constexpr int kPeriodEntries = 100;
// Children of "Periods" looked at; further ones are ignored.
constexpr int kMaxPeriodChildren = 99;
// The event types the event fetch asks for.
constexpr int kFetchedEventTypes = 8;
// Ticks the update cycle waits for an answer before it moves on.
constexpr std::int32_t kAnswerWaitTicks = 10;

using Doc = XmlDocument;

// A UTC time from the "THi" and "TLo" attributes of `element` (0 when missing).
FileTime ReadTime(const XmlElement* element) {
    const auto high = static_cast<std::uint32_t>(Doc::HexToInt(Doc::GetAttributeText(element, u"THi")));
    const auto low = static_cast<std::uint32_t>(Doc::HexToInt(Doc::GetAttributeText(element, u"TLo")));
    return MakeFileTime(high, low);
}

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

// True when `configured` begins with the first `length` characters of `name`: ASCII
// letters compared without case, every other character (Cyrillic included) exactly.
bool MatchesPrefix(const QString& configured, const QString& name, int length) {
    if (length <= 0 || name.size() < length || configured.size() < length) return false;
    for (int i = 0; i < length; ++i)
        if (FoldAscii(configured[i].unicode()) != FoldAscii(name[i].unicode())) return false;
    return true;
}

// printf-style "%s" (the first one) and "%%" in a string-table text.
QString FormatWithText(const QString& format, const QString& text) {
    QString out;
    bool used = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        if (format[i] == u'%' && i + 1 < format.size()) {
            if (format[i + 1] == u'%') {
                out += u'%';
                ++i;
                continue;
            }
            if (format[i + 1] == u's' && !used) {
                out += text;
                used = true;
                ++i;
                continue;
            }
        }
        out += format[i];
    }
    return out;
}

bool IsEventType(std::int32_t index) { return index >= 0 && index < kEventTypeCount; }

using PeriodEntries = std::array<PeriodRecord, kPeriodEntries>;

// "TimeInfo": the game's clock, from its last game time or else the time now.
void TakeTimeInfo(const XmlElement* info, CGameInfo& model) {
    const XmlElement* t = Doc::FindChild(info, u"LastGameTime");
    if (t == nullptr) t = Doc::FindChild(info, u"NowTime");
    if (t == nullptr) return;
    model.SetLastGameTime(ReadTime(t));
}

// "Cameras": every child takes up a position, whatever its name: Crestron's camera
// numbers are these positions counted from 1.
void TakeCameras(const XmlElement* list, CGameInfo& model) {
    const size_t count = list->Children.size();
    std::vector<Guid> cameras(count);
    Guid audio;
    std::int32_t audioPosition = 0;
    Doc::GetAttributeInt(list, u"PlayAudioCam", audioPosition);
    for (size_t i = 0; i < count; ++i) {
        const XmlElement* cam = list->Children[i].get();
        if (cam->Name != u"Cam" || Doc::FindAttribute(cam, u"Num") == nullptr) continue;
        const XmlAttribute* id = Doc::FindAttribute(cam, u"Id");
        if (id == nullptr) continue;
        Guid parsed;
        if (!Guid::Parse(id->Value, parsed)) continue;
        cameras[i] = parsed;
        if (static_cast<std::int64_t>(i) == audioPosition) audio = parsed;
    }
    model.SetCameras(static_cast<int>(std::min<size_t>(count, INT32_MAX)), cameras.data(), audio);
}

// The children of "Periods" into `entries`: each one's end score at its position, and the
// start of each period at its number (its position without one). Returns the index of
// the last period placed, -1 for none.
int ReadPeriods(const XmlElement* list, PeriodEntries& entries) {
    int last = -1;
    const int n = static_cast<int>(std::min<size_t>(list->Children.size(), kMaxPeriodChildren));
    for (int i = 0; i < n; ++i) {
        const XmlElement* period = list->Children[static_cast<size_t>(i)].get();
        if (period->Name != u"Period") continue;
        // The end score belongs to the child's position, whatever its number.
        std::pair<std::int32_t, std::int32_t> score{entries[i].Score1, entries[i].Score2};
        Doc::GetAttributeClock(period, u"EndScore", score);
        entries[i].Score1 = score.first;
        entries[i].Score2 = score.second;

        std::int32_t number = 0;
        int index = i;
        if (Doc::GetAttributeInt(period, u"Num", number) && number >= 1) {
            // A number beyond the entries (above 100) cannot be placed: the child
            // gives no start.
            if (number > kPeriodEntries) continue;
            index = number - 1;
        }
        if (index > last) {
            last = index;
            entries[index].Start = ReadTime(period);
            entries[index].PeriodKind = index >= 3 ? 1 : 0;
        }
    }
    return last;
}

// The periods counted (up to the last one with a start; entry 99, a "Num" of 100, never
// is), with the gaps before the last one filled in and the scores made to never fall.
int CompletePeriods(PeriodEntries& entries) {
    int count = 0;
    for (int j = kPeriodEntries - 2; j >= 0; --j) {
        if (entries[j].Start != 0) {
            count = j + 1;
            break;
        }
    }
    // Every period before the last one reported starts just before its successor
    // (never wrapping below the earliest time: a start of 1 leaves its gap unset).
    for (int j = count - 2; j >= 0; --j)
        if (entries[j].Start == 0 && entries[j + 1].Start != 0)
            entries[j].Start = entries[j + 1].Start - 1;
    for (int j = 1; j < count; ++j) {
        entries[j].Score1 = std::max(entries[j].Score1, entries[j - 1].Score1);
        entries[j].Score2 = std::max(entries[j].Score2, entries[j - 1].Score2);
    }
    return count;
}

// "Periods": the game's periods go to the model. Returns the index of the last period
// reported (-1 for none).
int TakePeriods(const XmlElement* list, CGameInfo& model) {
    PeriodEntries entries{};
    const int last = ReadPeriods(list, entries);
    const int count = CompletePeriods(entries);
    // The model holds periods 1 to 98: a 99th is left out.
    model.SetPeriods(entries.data(), std::min(count, kMaxPeriodRecords - 1));
    return last;
}

// The names of the fetched event types that "EventTypes" does not configure.
QStringList MissingEventNames(const XmlElement* list) {
    std::array<int, kEventTypeCount> found;
    found.fill(-1);
    for (size_t i = 0; i < list->Children.size(); ++i) {
        const XmlElement* type = list->Children[i].get();
        if (type->Name != u"Type" || Doc::FindAttribute(type, u"Name") == nullptr) continue;
        const QString configured = Doc::GetAttributeText(type, u"Name");
        for (int k = 0; k < kEventTypeCount; ++k) {
            if (MatchesPrefix(configured, EventTypeName(k), EventTypePrefixLength(k))) {
                found[k] = static_cast<int>(std::min<size_t>(i, INT32_MAX));
                break;
            }
        }
    }
    QStringList missing;
    for (int k = 0; k < kFetchedEventTypes; ++k)
        if (found[k] < 0) missing << EventTypeName(k);
    return missing;
}

}  // namespace

// A message is about the first of these it holds.
void CCompanionLink::OnRefereeMessage(const QString& message, CGameInfo& model) {
    KestriloSpoken = true;
    if (!PollingEnabled) return;

    XmlDocument doc;
    if (!doc.Load(message, message.size() * 2)) return;
    const XmlElement* kestrilo = Doc::FindChild(&doc, u"Kestrilo");
    if (kestrilo == nullptr) return;

    if (const XmlElement* info = Doc::FindChild(kestrilo, u"TimeInfo")) {
        TakeTimeInfo(info, model);
    } else if (const XmlElement* cameras = Doc::FindChild(kestrilo, u"Cameras")) {
        TakeCameras(cameras, model);
    } else if (const XmlElement* periods = Doc::FindChild(kestrilo, u"Periods")) {
        CurrentPeriod = TakePeriods(periods, model);
    } else if (const XmlElement* types = Doc::FindChild(kestrilo, u"EventTypes")) {
        TakeEventTypes(types);
    } else if (const XmlElement* events = Doc::FindChild(kestrilo, u"Events")) {
        TakeEventCount(events, model);
    } else if (const XmlElement* event = Doc::FindChild(kestrilo, u"Event")) {
        TakeEvent(event, model);
    } else {
        Trace(QStringLiteral("Halvane::Kestrilo Unknown Message=") + message + QStringLiteral("\n"));
    }
}

void CCompanionLink::TakeEventTypes(const XmlElement* list) {
    const QStringList missing = MissingEventNames(list);
    if (!missing.isEmpty() && messageBoxes_ != nullptr && !missingNamesBoxOpen_) {
        // Modal: timers and further messages are handled while it is open, so a later
        // answer arrives inside it; that one does not open a second box on top.
        missingNamesBoxOpen_ = true;
        messageBoxes_->Show(FormatWithText(LoadStringOrMark(kStringMissingEventNames),
                                           missing.join(QStringLiteral(", "))),
                            BoxIcon::Warning, BoxButtons::Ok);
        missingNamesBoxOpen_ = false;
    }
    EventTypesReceived = 1;
    RequestCountdown = 0;
}

void CCompanionLink::TakeEventCount(const XmlElement* events, CGameInfo& model) {
    std::int32_t count = -1;
    Doc::GetAttributeInt(events, u"Count", count);
    if (count > 0) {
        EventInfoNext = 0;
        EventCount = count;
        RequestNextEventInfo();
        model.RemoveLabel(EventTypeCursor, count);
    } else if (count == 0) {
        model.RemoveLabel(EventTypeCursor, 0);
        RequestCountdown = 0;
    } else {
        RequestCountdown = 0;
    }
}

void CCompanionLink::TakeEvent(const XmlElement* event, CGameInfo& model) {
    // The answer does not say which event it is: it is the current type's, and the
    // last index requested (stored as that index plus 1).
    const XmlElement* t = Doc::FindChild(event, u"Time");
    std::int32_t period = 0;
    Doc::GetAttributeInt(t, u"Period", period);
    const FileTime time = ReadTime(t);
    std::pair<std::int32_t, std::int32_t> score{0, 0};
    Doc::GetAttributeClock(t, u"Score", score);
    if (EventTypeCursor == kEventGoal) {
        // A goal carries the score after it.
        if (const XmlElement* next = Doc::FindChild(event, u"NextScore"))
            Doc::GetAttributeClock(next, u"Score", score);
    }
    std::pair<std::int32_t, std::int32_t> clock{0, 0};
    Doc::GetAttributeClock(t, u"FromStart", clock);
    // Before the fetch has chosen a type the cursor names none: nothing is stored.
    if (IsEventType(EventTypeCursor)) {
        std::lock_guard lock(model.GameInfoLock);
        model.AddLabel(EventTypeCursor, EventInfoNext, period, time, score.first, score.second,
                       clock.first, clock.second);
    }
    RequestNextEventInfo();
}

void CCompanionLink::RequestNextEventInfo() {
    // Nothing more to ask, or no type to ask about: the update cycle goes on.
    if (EventInfoNext >= EventCount || !IsEventType(EventTypeCursor)) {
        RequestCountdown = 0;
        return;
    }
    const QString request = QStringLiteral("EventInfo") + QString::number(EventInfoNext) +
                            u'_' + EventTypeName(EventTypeCursor);
    ++EventInfoNext;
    SendToKestrilo(request);
    SendToKestrilo(QStringLiteral("TimeInfo"));
    RequestCountdown = kAnswerWaitTicks;
}

}  // namespace hv
