// Arbitrary controller byte streams through the command framing, the validation and the
// answers. The first byte picks the flags, how the stream is cut into reads, and the model:
// an ordinary game, or one whose times sit at the ends of the 64-bit range (as a referee
// console or recorder may send them) under a positive UTC offset.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "FakeClock.h"
#include "crestron/CommandFramer.h"
#include "crestron/CrestronConnection.h"
#include "crestron/CrestronProtocol.h"
#include "game/GameInfo.h"
#include "log/DiagnosticLog.h"
#include "platform/Trace.h"

namespace {

// Every line of a C0301 answer is its header (`headerBytes`: the game's start year takes
// five digits in the model at the limits; both models have fewer than 100 labels) and
// whole entries of 13 digits: the controller finds each entry by its fixed width, whatever
// the times from outside were.
void CheckPeriodAnswer(std::string_view answer, std::size_t headerBytes) {
    const std::size_t kHeader = headerBytes;
    constexpr std::size_t kEntry = 13;
    while (!answer.empty()) {
        const std::size_t lf = answer.find('\n');
        if (lf == std::string_view::npos) __builtin_trap();
        const std::string_view line = answer.substr(0, lf);
        answer.remove_prefix(lf + 1);
        if (line.size() < kHeader || (line.size() - kHeader) % kEntry != 0) __builtin_trap();
        if (line.substr(5).find_first_not_of("0123456789") != std::string_view::npos) __builtin_trap();
    }
}

class DiscardingConnection final : public hv::ICrestronConnection {
public:
    hv::SendResult Send(const char* data, std::size_t sizeBytes) override {
        // Every answer ends in LF and holds no NUL.
        if (sizeBytes == 0 || data[sizeBytes - 1] != '\n') __builtin_trap();
        const std::string_view answer(data, sizeBytes);
        if (answer.find('\0') != std::string_view::npos) __builtin_trap();
        if (answer.starts_with("M0301")) CheckPeriodAnswer(answer, periodHeaderBytes);
        return {static_cast<long>(sizeBytes), 0};
    }
    std::size_t periodHeaderBytes = 28;
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

// Times at and around the ends of the range, local time 14 hours ahead of UTC.
struct ExtremeGame {
    hv::test::FakeClock clock;
    hv::CGameInfo model{clock};

    ExtremeGame() {
        clock.offsetSeconds = 14 * 3600;
        clock.SetUtc(2026, 1, 2, 12);
        const hv::FileTime times[] = {0, 1, hv::kMaxFileTime - 1, hv::kMaxFileTime,
                                      hv::kMaxFileTime + 1, ~hv::FileTime{0},
                                      hv::kMaxFileTime - 14 * 3600 * hv::kFileTimeUnitsPerSecond};
        constexpr int kTimes = sizeof times / sizeof times[0];
        model.SetGameStartTime(hv::kMaxFileTime - 1000);
        hv::PeriodRecord periods[kTimes + 1];
        for (int k = 0; k <= kTimes; ++k) periods[k] = {k % 2, k, k % 3, times[k % kTimes], 0};
        model.SetPeriods(periods, kTimes + 1);
        std::lock_guard lock(model.GameInfoLock);
        for (int i = 0; i < 3 * kTimes; ++i)
            model.AddLabel(i % 13, i / 13 + 1, i % (kTimes + 2), times[i % kTimes], i % 7, i % 5,
                           i % 60, i % 61);
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
    static ExtremeGame extreme;
    if (size == 0) return 0;
    const std::uint8_t control = data[0];
    const bool useGameTime = (control & 1) != 0;
    const bool crestronLog = (control & 2) != 0;
    const bool playPosLog = (control & 4) != 0;
    const std::size_t readBytes = 1 + static_cast<std::size_t>((control >> 3) & 15) * 131;
    const bool atTheLimits = (control & 0x80) != 0;
    hv::CGameInfo& model = atTheLimits ? extreme.model : game.model;
    model.PlayPosition.store(atTheLimits ? ((control & 8) != 0 ? INT32_MAX : INT32_MIN + 1) : -1);

    DiscardingConnection connection;
    const int startYear = model.TimeSource().LocalCalendar(model.GetSnapshot().GameStart).year;
    connection.periodHeaderBytes = 24 + std::max<std::size_t>(4, std::to_string(startYear).size());
    hv::CommandFramer framer;
    std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
    while (!stream.empty()) {
        const std::string_view read = stream.substr(0, readBytes);
        stream.remove_prefix(read.size());
        for (const hv::FramedLine& line : framer.Feed(read)) {
            if (line.kind != hv::FramedLine::Kind::Command) continue;
            if (line.text.size() > hv::CommandFramer::kMaxCommandBytes) __builtin_trap();
            hv::ParseCrestronCommand(line.text.c_str(), static_cast<int>(line.text.size()),
                                     connection, nullptr, model, useGameTime, crestronLog,
                                     playPosLog);
        }
        if (framer.Carried().size() > hv::CommandFramer::kMaxCommandBytes) __builtin_trap();
    }
    return 0;
}
