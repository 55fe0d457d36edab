#include "log/DiagnosticLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/InstalledLayout.h"
#include "platform/Trace.h"

namespace hv {

namespace {

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written <= 0) return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

std::string FormatCalendar(const char* format, const CalendarTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, format, t.year, t.month, t.day, t.hour, t.minute, t.second,
                  t.millisecond);
    return text;
}

// The line end treatment: only the final line end is made CR LF.
void EndWithCrLf(std::string& line) {
    if (line.empty() || line.back() != '\n') {
        line += "\r\n";
    } else if (line.size() < 2 || line[line.size() - 2] != '\r') {
        line.insert(line.size() - 1, 1, '\r');
    }
}

std::string FormatMessage(const char* format, va_list args) {
    char buffer[DiagnosticLog::kMaxMessage + 1];
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (n < 0) return {};
    return std::string(buffer, std::min(static_cast<size_t>(n), DiagnosticLog::kMaxMessage));
}

std::string StateFallbackDirectory() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string base;
    if (state != nullptr && *state != '\0') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : "/tmp") + "/.local/state";
    }
    return base + "/Tervanix/Halvane";
}

}  // namespace

DiagnosticLog::DiagnosticLog(std::string directory, std::string baseName,
                             std::string fallbackDirectory, const Clock& clock)
    : clock_(clock),
      directory_(std::move(directory)),
      baseName_(std::move(baseName)),
      fallbackDirectory_(std::move(fallbackDirectory)),
      start_(clock.LocalNow()) {}

DiagnosticLog::~DiagnosticLog() {
    if (fd_ >= 0) ::close(fd_);
}

std::string DiagnosticLog::FileName(const std::string& baseName, const CalendarTime& start) {
    return baseName + FormatCalendar("_%04d%02d%02d_%02d%02d%02d.log", start);
}

std::string DiagnosticLog::FilePath() const {
    std::lock_guard lock(fileMutex_);
    return fd_ >= 0 ? path_ : std::string();
}

bool DiagnosticLog::OpenLogFile() {
    std::string directory = directory_;
    if (::access(directory.c_str(), W_OK) != 0 && !fallbackDirectory_.empty()) {
        std::error_code ignored;
        std::filesystem::create_directories(fallbackDirectory_, ignored);
        directory = fallbackDirectory_;
    }
    const std::string path = directory + "/" + FileName(baseName_, start_);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const std::string header =
        FormatCalendar("\r\n------ %04d.%02d.%02d %02d:%02d:%02d.%03d ------\r\n", start_);
    if (!WriteAll(fd, header.data(), header.size()) || ::fdatasync(fd) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    path_ = path;
    return true;
}

void DiagnosticLog::Write(const char* format, va_list args) {
    va_list second;
    va_copy(second, args);
    // The trace copy is made first, unchanged, and whether or not the file is open.
    const std::string message = FormatMessage(format, args);
    Trace(message);

    // The first call opens the file; a failed open is never retried. Two threads that
    // log their first lines together open it once: the other one waits here.
    std::call_once(openOnce_, [this] {
        std::lock_guard lock(fileMutex_);
        OpenLogFile();
    });

    std::lock_guard lock(fileMutex_);
    if (fd_ < 0) {
        va_end(second);
        return;
    }
    std::string line = FormatCalendar("%04d.%02d.%02d %02d:%02d:%02d.%03d: ", clock_.LocalNow());
    // The file copy is formatted again, as the file's own line.
    std::string text = FormatMessage(format, second);
    va_end(second);
    EndWithCrLf(text);
    line += text;
    // Write failures are ignored; the next line is tried normally.
    if (WriteAll(fd_, line.data(), line.size())) ::fdatasync(fd_);
}

void DiagnosticLog::KeepToTraceOnly() {
    std::call_once(openOnce_, [] {});
}

std::string LogDirectoryFor(const std::string& programFolder, const std::string& stateFolder) {
    // An installed program's folder is the package's: a log there (root may write it)
    // would outlive the package's removal.
    return IsInstalledProgramFolder(programFolder) ? stateFolder : programFolder;
}

DiagnosticLog& TheLog() {
    static DiagnosticLog log = [] {
        const auto exe = RunningExecutable();
        const std::string state = StateFallbackDirectory();
        return DiagnosticLog(LogDirectoryFor(exe.parent_path().string(), state),
                             exe.stem().string(), state, Clock::System());
    }();
    return log;
}

}  // namespace hv

void WriteLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    hv::TheLog().Write(format, args);
    va_end(args);
}
