// Feeds arbitrary text to the XML reader, the referee console's message handler and the
// recorder's answer handler, then asks the Crestron answers about the game that resulted
// (with the game clock and with times from the periods' starts, local time ahead of UTC),
// so that any time a message can carry goes through every conversion. Input: one byte choosing the current event type, then the
// text (UTF-8, or UTF-16LE after the two bytes FF FE, so that lone surrogates reach it).
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "crestron/CrestronAnswers.h"
#include "crestron/CrestronConnection.h"
#include "crestron/CrestronProtocol.h"
#include "game/GameInfo.h"
#include "game/XmlDocument.h"
#include "log/DiagnosticLog.h"
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

class DiscardingConnection final : public hv::ICrestronConnection {
public:
    hv::SendResult Send(const char* data, std::size_t sizeBytes) override {
        if (sizeBytes == 0 || data[sizeBytes - 1] != '\n') __builtin_trap();
        return {static_cast<long>(sizeBytes), 0};
    }
};

void AskAboutTheGame(hv::CGameInfo& model) {
    DiscardingConnection connection;
    const std::string game = "202201011200";
    std::vector<std::string> commands = {"C0101ABCD", "C0201" + game, "C0601",
                                         "C0501" + game + "3153600001+01", "C0501" + game + "99999999" "02-16"};
    for (int period = 1; period <= 12; ++period) {
        char text[8];
        std::snprintf(text, sizeof text, "%02d", period);
        commands.push_back("C0301" + game + text);
    }
    std::vector<hv::Label> labels;
    model.CopyLabels(labels, -1);
    for (const hv::Label& label : labels) {
        char text[16];
        std::snprintf(text, sizeof text, "%02d%03d", hv::CrestronCodeOfType(label.Type) % 100,
                      label.Number % 1000);
        commands.push_back("C0401" + game + text);
    }
    for (const bool useGameTime : {true, false})
        for (const std::string& command : commands)
            hv::ParseCrestronCommand(command.c_str(), static_cast<int>(command.size()), connection,
                                     nullptr, model, useGameTime, true, true);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    hv::TheLog().KeepToTraceOnly();
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
    AskAboutTheGame(model);
    return 0;
}
