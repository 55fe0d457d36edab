// Arbitrary controller byte streams through the command framing, the validation and the
// answers. The first byte picks the flags and how the stream is cut into reads.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "FakeClock.h"
#include "app/DiagnosticLog.h"
#include "crestron/CommandFramer.h"
#include "crestron/CrestronConnection.h"
#include "crestron/CrestronProtocol.h"
#include "game/GameInfo.h"
#include "platform/Trace.h"

namespace {

class DiscardingConnection final : public hv::ICrestronConnection {
public:
    hv::SendResult Send(const char* data, std::size_t sizeBytes) override {
        // Every answer ends in LF and holds no NUL.
        if (sizeBytes == 0 || data[sizeBytes - 1] != '\n') __builtin_trap();
        if (std::string_view(data, sizeBytes).find('\0') != std::string_view::npos) __builtin_trap();
        return {static_cast<long>(sizeBytes), 0};
    }
};

struct Game {
    hv::test::FakeClock clock;
    hv::CGameInfo model{clock};

    Game() {
        clock.offsetSeconds = 3 * 3600;
        clock.SetUtc(2026, 1, 2, 12);
        model.SetGameStart({2025, 12, 31, 21, 30, 0, 0});
        hv::PeriodRecord periods[30];
        for (int k = 0; k < 30; ++k)
            periods[k] = {k < 3 ? 0 : 1, k, k % 3, hv::test::At(2025, 12, 31, 19) +
                                                      static_cast<hv::FileTime>(k) * 600 * hv::kFileTimeUnitsPerSecond, 0};
        model.SetPeriods(periods, 30);
        std::lock_guard lock(model.GameInfoLock);
        for (int i = 0; i < 60; ++i)
            model.AddLabel(i % 13, i / 13 + 1, i % 35 - 2 + (i == 59 ? 200 : 0),
                           hv::test::At(2025, 12, 31, 19) + static_cast<hv::FileTime>(i) * 7 * hv::kFileTimeUnitsPerSecond,
                           i % 7, i % 5, i % 60, i % 61);
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    hv::TheLog().KeepToTraceOnly();
    hv::SetTraceSink([](std::string_view) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Game game;
    if (size == 0) return 0;
    const std::uint8_t control = data[0];
    const bool useGameTime = (control & 1) != 0;
    const bool crestronLog = (control & 2) != 0;
    const bool playPosLog = (control & 4) != 0;
    const std::size_t readBytes = 1 + static_cast<std::size_t>(control >> 3) * 131;
    game.model.PlayPosition.store(-1);

    DiscardingConnection connection;
    hv::CommandFramer framer;
    std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
    while (!stream.empty()) {
        const std::string_view read = stream.substr(0, readBytes);
        stream.remove_prefix(read.size());
        for (const hv::FramedLine& line : framer.Feed(read)) {
            if (line.kind != hv::FramedLine::Kind::Command) continue;
            if (line.text.size() > hv::CommandFramer::kMaxCommandBytes) __builtin_trap();
            hv::ParseCrestronCommand(line.text.c_str(), static_cast<int>(line.text.size()),
                                     connection, nullptr, game.model, useGameTime, crestronLog,
                                     playPosLog);
        }
        if (framer.Carried().size() > hv::CommandFramer::kMaxCommandBytes) __builtin_trap();
    }
    return 0;
}
