#pragma once
// The diagnostic log: one printf-style operation, WriteLog, callable from any thread.
// Each line goes to the trace output as formatted, and to a log file next to the
// executable (one per run; an installed program's goes to the user's state folder) with a
// local time stamp in front and CR LF at its end.

#include <cstdarg>
#include <mutex>
#include <string>

#include "platform/Clock.h"

namespace hv {

class DiagnosticLog {
public:
    // Longest message kept; longer ones are cut to this many characters.
    static constexpr size_t kMaxMessage = 4095;

    // The file is `directory` + "/" + baseName + "_YYYYMMDD_hhmmss.log" of the start time,
    // read from `clock` now. When `directory` is not writable, `fallbackDirectory` is used.
    DiagnosticLog(std::string directory, std::string baseName, std::string fallbackDirectory,
                  const Clock& clock);
    ~DiagnosticLog();
    DiagnosticLog(const DiagnosticLog&) = delete;
    DiagnosticLog& operator=(const DiagnosticLog&) = delete;

    void Write(const char* format, va_list args);
    // From now on lines go to the trace output only, as after a failed open. For tools
    // that write lines by the million (fuzzers); no effect once the file is open.
    void KeepToTraceOnly();
    // The file's full path once it is open, else empty.
    std::string FilePath() const;

    // "<base>_YYYYMMDD_hhmmss.log"
    static std::string FileName(const std::string& baseName, const CalendarTime& start);

private:
    bool OpenLogFile();  // called once, under fileMutex_

    const Clock& clock_;
    const std::string directory_;
    const std::string baseName_;
    const std::string fallbackDirectory_;
    const CalendarTime start_;

    std::once_flag openOnce_;
    mutable std::mutex fileMutex_;
    int fd_ = -1;
    std::string path_;
};

// Where the log of a program in `programFolder` goes: that folder when the program runs
// from where it was built, the user's state folder when it is installed.
std::string LogDirectoryFor(const std::string& programFolder, const std::string& stateFolder);

// The process's log, created on first use with the executable's name, in the folder above
// (the state folder too when that one is not writable).
DiagnosticLog& TheLog();

}  // namespace hv

// Formats one log line; the text is 8-bit (UTF-8 here). A message ending without LF gets
// one in the file. Lines reach the disk before this returns.
void WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
