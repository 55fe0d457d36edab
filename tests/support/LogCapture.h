#pragma once
// Captures what the program writes to the trace output (every log line as formatted,
// and the developer traces) while the object lives.

#include <mutex>
#include <string>
#include <vector>

namespace hv::test {

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Lines() const;  // one entry per trace call
    std::string Text() const;                // everything, joined
    bool Contains(const std::string& piece) const;
    size_t Count(const std::string& line) const;  // entries equal to line
    void Clear();
    // Waits (running the Qt event loop) until a traced entry equals `line`.
    bool WaitFor(const std::string& line, int timeoutMs = 5000) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace hv::test
