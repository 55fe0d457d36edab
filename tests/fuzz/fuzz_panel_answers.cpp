// Arbitrary bytes from a controller port, as halvane-panel reads them: cut into reads (the
// first byte picks their size), gathered into answers and decoded. Whatever arrives, the
// console neither crashes nor keeps unbounded bytes, and what it decodes holds together.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "AnswerAssembler.h"
#include "PanelAnswers.h"

namespace {

void Check(const std::string& raw) {
    using namespace hv::panel;
    const DecodedAnswer decoded = DecodeAnswer(raw);
    if (decoded.Ok() == !decoded.error.empty()) __builtin_trap();
    if (!decoded.Ok()) return;
    const std::string text = DescribeAnswer(*decoded.body, 2026);
    if (text.empty() || text.back() != '\n') __builtin_trap();
    if (const auto* info = std::get_if<GameInfoAnswer>(&*decoded.body)) {
        if (info->entries.size() != static_cast<std::size_t>(info->periods)) __builtin_trap();
        if (info->counts.size() != static_cast<std::size_t>(info->periods) + 1) __builtin_trap();
        for (const auto& row : info->counts)
            if (row.size() != static_cast<std::size_t>(info->groups)) __builtin_trap();
    }
    if (const auto* period = std::get_if<PeriodInfoAnswer>(&*decoded.body))
        if (period->labels.size() != static_cast<std::size_t>(period->count)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t readBytes = 1 + static_cast<std::size_t>(data[0]) * 3;
    std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
    Check(std::string(stream));

    hv::panel::AnswerAssembler assembler;
    while (!stream.empty()) {
        const std::string_view read = stream.substr(0, readBytes);
        stream.remove_prefix(read.size());
        for (const std::string& answer : assembler.Feed(read)) {
            Check(answer);
        }
        // An answer under way holds at most its lines and one line without LF.
        if (assembler.PendingBytes() >
            (hv::panel::AnswerAssembler::kMaxAnswerLines + 1) * hv::panel::AnswerAssembler::kMaxLineBytes)
            __builtin_trap();
    }
    Check(assembler.TakePending());
    return 0;
}
