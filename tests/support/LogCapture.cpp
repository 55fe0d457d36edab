#include "LogCapture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <algorithm>

#include "platform/Trace.h"

namespace hv::test {

LogCapture::LogCapture() {
    SetTraceSink([this](std::string_view text) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(text);
    });
}

LogCapture::~LogCapture() { SetTraceSink({}); }

std::vector<std::string> LogCapture::Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::string LogCapture::Text() const {
    std::string all;
    for (const auto& line : Lines()) all += line;
    return all;
}

bool LogCapture::Contains(const std::string& piece) const {
    return Text().find(piece) != std::string::npos;
}

size_t LogCapture::Count(const std::string& line) const {
    const auto lines = Lines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

void LogCapture::Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

bool LogCapture::WaitFor(const std::string& line, int timeoutMs) const {
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (Count(line) > 0) return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return Count(line) > 0;
}

}  // namespace hv::test
