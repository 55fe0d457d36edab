// What the answers share: the code table, the time conversion, string formatting.
#include "crestron/CrestronAnswers.h"

#include <cstdarg>
#include <cstdio>

#include "platform/Clock.h"

namespace hv {

namespace {

constexpr int kCodeOfType[] = {11, 12, 13, 14, 21, 22, 31, 32, 41, 42, 43, 44, 33};
constexpr int kTypeCount = static_cast<int>(sizeof kCodeOfType / sizeof kCodeOfType[0]);

void AppendFormatV(std::string& out, const char* format, va_list args) {
    char buffer[256];
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof buffer) {
        out.append(buffer, static_cast<std::size_t>(n));
    } else {
        const std::size_t old = out.size();
        out.resize(old + static_cast<std::size_t>(n) + 1);
        std::vsnprintf(out.data() + old, static_cast<std::size_t>(n) + 1, format, again);
        out.resize(old + static_cast<std::size_t>(n));
    }
    va_end(again);
}

}  // namespace

int CrestronCodeOfType(int type) {
    return type >= 0 && type < kTypeCount ? kCodeOfType[type] : 0;
}

int TypeOfCrestronCode(int code) {
    for (int type = 0; type < kTypeCount; ++type)
        if (kCodeOfType[type] == code) return type;
    return -1;
}

int CrestronGroupOfType(int type) {
    return type >= 0 && type < kTypeCount ? kCodeOfType[type] / 10 - 1 : -1;
}

namespace crestron_detail {

std::string Format(const char* format, ...) {
    std::string out;
    va_list args;
    va_start(args, format);
    AppendFormatV(out, format, args);
    va_end(args);
    return out;
}

void AppendFormat(std::string& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    AppendFormatV(out, format, args);
    va_end(args);
}

}  // namespace crestron_detail

}  // namespace hv
