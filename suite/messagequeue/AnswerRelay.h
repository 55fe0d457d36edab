#pragma once
// The relay that takes the answers of other computers for this process's queues
// ("ZandrelQueueRelay --with-parent", QueueRelay.cpp): one per process and relay port,
// shared by the senders of every queue service of the process, so that answers from every
// computer the process talks to come in through it. It delivers only to queues held by this
// process, and takes frames only from the computers it was told to trust: each computer a
// sender of this process talks to (a sender that ends, or lets go of its computer, takes
// that computer's trust with it, unless another sender still talks to that computer). It
// listens on each address of this computer that a connection to another computer left
// from (where that computer sends its answers), except where this user's own relay serves
// that address (RelayMarked, LocalQueues.h): there it leaves the port to that relay,
// also when that relay starts later, and listens again once that relay has gone.
//
// Started on first need, with every descriptor but its standard input and output closed;
// started again when it has ended (at most once a second; after a start that did not come
// to speak, only after a minute); ended when the last sender using it lets go of it. It
// ends by itself when this process ends, however it ends: its standard input, a socket
// whose other end only this process holds, reaches its end.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace zandrel {

// How long a sender waits for each answer of the relay (on this computer; the send time-out
// for the message starts afterwards).
constexpr int kAnswerRelayStartWaitMs = 2000;
// Between two starts of a relay that ended.
constexpr int kAnswerRelayRestartPauseMs = 1000;
// After a start that did not come to speak (it ended at once, or said nothing in time).
constexpr int kAnswerRelaySilentPauseMs = 60000;
// Between two attempts to listen on an address where it could not.
constexpr int kAnswerRelayListenRetryMs = 1000;
// How long a relay that is to end has before it is killed.
constexpr int kAnswerRelayEndWaitMs = 1000;

class AnswerRelay {
public:
    // The relay of this process for `port`, made on first use.
    static std::shared_ptr<AnswerRelay> ForPort(std::uint16_t port);

    explicit AnswerRelay(std::uint16_t port) : port_(port) {}
    // Ends the relay, on whichever thread lets go of it last.
    ~AnswerRelay();
    AnswerRelay(const AnswerRelay&) = delete;
    AnswerRelay& operator=(const AnswerRelay&) = delete;

    // On a sender thread, once its connection to the relay of `peer` stands and before its
    // frame goes out: makes sure the relay runs, listens on `local` and trusts `peer` for
    // `owner` (the sender), so that what `peer` sends back to `local` reaches this process.
    // Waits for each answer of the relay (sooner back when `stopFd` becomes readable).
    // Returns empty when answers can come back, else what stands in their way.
    std::string Prepare(const std::string& local, const std::string& peer, int stopFd, const void* owner);
    // On a sender thread: the answers to `local` come in through another relay; the relay
    // stops listening there.
    void LetGo(const std::string& local, int stopFd);
    // On a sender thread that ends: the addresses trusted for `owner` alone are no longer
    // trusted.
    void Forget(const void* owner);

private:
    enum class Said { Line, Ended, Nothing, Stopped };

    bool Running();
    std::string Start(int stopFd);
    std::string Listen(const std::string& local, const std::string& peer, int stopFd);
    // Sends one line to the relay and reads its answer.
    Said Ask(const std::string& line, std::string& answer, int stopFd);
    Said ReadLine(std::string& line, int stopFd);
    // Ends the relay (asked first, then killed) and forgets what it was told.
    void End();

    const std::uint16_t port_;
    std::mutex mutex_;
    pid_t pid_ = -1;
    int control_ = -1;  // our end of the relay's standard input and output
    std::string said_;  // what it said that is not a whole line yet
    std::set<std::string> listening_;
    // The addresses the relay trusts, and for which senders.
    std::map<std::string, std::set<const void*>> trustedFor_;
    struct CannotListen {
        std::string why;
        std::chrono::steady_clock::time_point at;
    };
    std::map<std::string, CannotListen> cannotListen_;
    std::chrono::steady_clock::time_point started_{};
    std::chrono::milliseconds pause_{kAnswerRelayRestartPauseMs};
};

}  // namespace zandrel
