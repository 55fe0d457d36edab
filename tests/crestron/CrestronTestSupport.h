#pragma once
// What the Crestron tests share: a controller that talks to the port over loopback, a
// frame that accepts connections and records what the port posts, and a game model with
// periods and labels.

#include <QObject>
#include <QThread>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "FakeClock.h"
#include "crestron/Port4Crestron.h"
#include "game/GameInfo.h"

namespace hv::test {

// Runs the Qt event loop until `condition` holds or `timeoutMs` passes.
template <typename Condition>
bool PumpUntil(Condition condition, int timeoutMs = 10000);

// A Crestron controller: one TCP connection to the port. Reads keep the test thread's
// event loop running so that the frame can accept the connection meanwhile.
class TestController {
public:
    TestController() = default;
    ~TestController();
    TestController(const TestController&) = delete;
    TestController& operator=(const TestController&) = delete;

    bool Connect(std::uint16_t port);
    bool Send(std::string_view bytes);
    // The next LF-terminated line (LF included); empty after `timeoutMs` or at the end.
    std::string ReadLine(int timeoutMs = 10000);
    // True when the port closed the connection (everything sent before it is skipped).
    bool WaitForEnd(int timeoutMs = 10000);
    void Close();
    // Closes with a reset instead of an orderly end.
    void Reset();
    bool IsOpen() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    std::string pending_;
};

// The frame: accepts on WM_USER+11 and records the play and label requests with the
// thread they arrived on.
class TestFrame final : public QObject {
public:
    struct Posted {
        unsigned message;
        std::uintptr_t wParam;
        std::intptr_t lParam;
        QThread* thread;
    };

    void SetPort(CPort4Crestron* port) { port_ = port; }
    std::vector<Posted> Posts() const;
    void ClearPosts();
    int Accepts() const { return accepts_; }

protected:
    bool event(QEvent* event) override;

private:
    CPort4Crestron* port_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<Posted> posts_;
    int accepts_ = 0;
};

// Local time of the model's clock (UTC + 3 h) as a UTC game time.
constexpr std::int64_t kOffsetSeconds = 3 * 3600;
inline FileTime Local(int year, int month, int day, int hour, int minute, int second) {
    return At(year, month, day, hour, minute, second) -
           static_cast<FileTime>(kOffsetSeconds * kFileTimeUnitsPerSecond);
}

// A game started on 31 December 2025 at 21:30 local, three periods (the third crossing
// New Year), and referee events: see the definition for the full list.
void FillGame(CGameInfo& game);

// Adds `count` labels of one type to a period, one second apart, from `first`.
void AddLabels(CGameInfo& game, int type, int period, int count, FileTime first);

}  // namespace hv::test

#include <QCoreApplication>
#include <QDeadlineTimer>

namespace hv::test {

template <typename Condition>
bool PumpUntil(Condition condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

}  // namespace hv::test
