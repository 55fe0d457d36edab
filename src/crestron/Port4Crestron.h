#pragma once
// CPort4Crestron: the TCP port a Crestron controller connects to. Owns the listening
// socket, the one controller connection and the working thread that reads its commands.
// A new connection replaces the current one. All operations run on the GUI thread.

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

class QObject;

namespace hv {

class CGameInfo;
class SocketWatch;

class CPort4Crestron {
public:
    // Opening progress (Step()).
    static constexpr int kStepStartup = 1;
    static constexpr int kStepSocket = 2;
    static constexpr int kStepBind = 3;
    static constexpr int kStepListen = 4;
    static constexpr int kStepNotify = 5;
    static constexpr int kStepListening = 99;

    CPort4Crestron();
    ~CPort4Crestron();
    CPort4Crestron(const CPort4Crestron&) = delete;
    CPort4Crestron& operator=(const CPort4Crestron&) = delete;

    // First opening: remembers the model and the window that gets WM_USER+11 when a
    // connection waits, then opens the port (its low 16 bits). The model and the window
    // must outlive the port's connection (ClosePort joins the working thread).
    bool InitPort(unsigned port, QObject* window, CGameInfo* game);
    // Creates the listening socket; true when listening. Used alone to reopen the port on
    // another number after ClosePort.
    bool OpenPort(unsigned port);
    // The user's message for a failed opening (string 513 filled in).
    QString GetInitErrorText(unsigned port) const;
    // Takes one waiting connection; the frame calls it for each WM_USER+11.
    void AcceptConnection();
    // Closes the connection and the listening socket; joins the working thread.
    void ClosePort();

    int Step() const { return step_; }
    int LastError() const { return lastError_; }
    // The port actually listened on (useful when opened on port 0), 0 when closed.
    std::uint16_t ListeningPort() const;
    // Readable while the working thread is told to stop: the thread waits on it next to
    // its connection, so that a stop takes effect at once rather than after a poll interval.
    int StopEventFd() const { return stopEventFd_; }

    // How long the working thread waits for its connection before it looks at the stop
    // flag again, and its pauses after the controller closed its side or a read failed.
    // A stop ends each of them at once (StopEventFd), so that a new controller never waits
    // for one to run out; tests stretch them to show it. Set while no connection is served.
    struct WorkerWaits {
        int PollIntervalMs = 100;
        int PeerClosedPauseMs = 100;
        int ReadErrorPauseMs = 33;
    };
    void SetWorkerWaits(const WorkerWaits& waits) { waits_ = waits; }
    const WorkerWaits& Waits() const { return waits_; }

    // Read by the working thread for every command; written by the GUI thread.
    std::atomic<bool> UseGameTime{true};
    std::atomic<bool> CrestronLog{false};
    std::atomic<bool> PlayPosLog{false};

private:
    void Fail(int step);
    void CloseConnection();
    void SignalStop();

    CGameInfo* game_ = nullptr;
    QObject* window_ = nullptr;
    unsigned notifyMessage_ = 0;
    int listeningFd_ = -1;
    int lastError_ = 0;
    int step_ = 0;
    std::unique_ptr<SocketWatch> watch_;
    int connectionFd_ = -1;
    std::thread worker_;
    std::atomic<bool> stop_{false};
    int stopEventFd_ = -1;
    WorkerWaits waits_;
};

// The working thread of one connection: reads and answers commands until `stop` is set
// or the connection is aborted. Never closes the socket.
void WorkingThread(CPort4Crestron* port, int socketFd, const std::atomic<bool>* stop,
                   QObject* window, CGameInfo* game);

}  // namespace hv
