// Feeds arbitrary text to the XML reader, the referee console's message handler and the
// recorder's answer handler. Input: one byte choosing the current event type, then the
// text (UTF-8, or UTF-16LE after the two bytes FF FE, so that lone surrogates reach it).
#include <QString>
#include <cstddef>
#include <cstdint>

#include "game/GameInfo.h"
#include "game/XmlDocument.h"
#include "platform/Clock.h"
#include "platform/ComponentFactory.h"
#include "platform/MessageBoxes.h"
#include "platform/Trace.h"
#include "workflow/CompanionLink.h"

namespace {

class FixedClock final : public hv::Clock {
public:
    std::uint32_t TickCountMs() const override { return 1000; }
    hv::FileTime UtcNow() const override { return 132'871'680'000'000'000ULL; }  // 2022
    std::int64_t UtcOffsetSeconds() const override { return 3 * 3600; }
};

class ClosingBoxes final : public hv::IMessageBoxes {
public:
    hv::BoxAnswer Show(const QString&, hv::BoxIcon, hv::BoxButtons) override { return hv::BoxAnswer::Ok; }
};

QString Decode(const std::uint8_t* data, size_t size) {
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
        QString text;
        for (size_t i = 2; i + 1 < size; i += 2)
            text += QChar(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
        return text;
    }
    return QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    hv::SetTraceSink([](std::string_view) {});  // keep the run quiet
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int cursor = data[0] % 14;  // 0..12, and 13 as after a reset
    const QString text = Decode(data + 1, size - 1);

    hv::XmlDocument doc;
    if (doc.Load(text)) {
        const hv::XmlElement* k = hv::XmlDocument::FindChild(&doc, u"Kestrilo");
        std::int32_t value = 0;
        std::pair<std::int32_t, std::int32_t> clock{0, 0};
        hv::XmlDocument::GetAttributeInt(k, u"Count", value);
        hv::XmlDocument::GetAttributeClock(k, u"Score", clock);
        hv::XmlDocument::HexToInt(hv::XmlDocument::GetAttributeText(k, u"THi"));
    }

    static const FixedClock fixedClock;
    static const hv::ComponentFactory noComponents{QString()};
    static ClosingBoxes boxes;
    hv::CGameInfo model(fixedClock);
    hv::CCompanionLink link(noComponents, fixedClock);  // no queue: sends fail quietly
    link.SetMessageBoxes(&boxes);
    link.PollingEnabled = true;
    link.EventTypeCursor = cursor;
    link.EventCount = 3;
    link.OnRefereeMessage(text, model);
    // A second message on the same state, as the fetch goes on.
    link.OnRefereeMessage(text, model);
    link.OnRecorderAnswer(text);
    return 0;
}
