#include "RemoteSender.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <set>

#include <cerrno>
#include <cstring>

#include "AnswerRelay.h"
#include "HostAddresses.h"
#include "LocalQueues.h"
#include "platform/Trace.h"

namespace zandrel {

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

void QueueNotes::Add(const QString& text) {
    std::lock_guard lock(mutex_);
    if (notes_.size() >= kMaxNotes) {
        notes_.pop_front();
        ++dropped_;
    }
    notes_.push_back(text);
}

bool QueueNotes::Take(QString& text) {
    std::lock_guard lock(mutex_);
    if (dropped_ > 0) {
        text = QStringLiteral("%1 earlier notes were dropped").arg(dropped_);
        dropped_ = 0;
        return true;
    }
    if (notes_.empty()) return false;
    text = std::move(notes_.front());
    notes_.pop_front();
    return true;
}

// ---------------------------------------------------------------------------------------

struct RemoteSender::State {
    struct Item {
        bool question = false;  // a presence question rather than a message
        bool letGo = false;     // the answers of that computer are no longer taken
        std::int32_t sequence = 0;
        QString target;
        QByteArray frame;
    };
    struct Answer {
        bool held = false;
        Clock::time_point at;
    };
    struct Outcome {
        Delivery delivery = Delivery::Pending;
        int error = 0;
    };

    State(QueueConfig config, QString host, std::shared_ptr<QueueNotes> notes)
        : config(std::move(config)),
          host(std::move(host)),
          notes(std::move(notes)),
          stopFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~State() {
        if (stopFd >= 0) ::close(stopFd);
    }

    // With `mutex` held.
    void AskLocked(const QString& target);
    int RefusalLocked(const QString& target) const;
    void NoteOutcomeLocked(std::int32_t sequence, Delivery delivery, int error);
    // Waits up to `pause` unless told to stop; false when told to stop.
    bool PauseLocked(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds pause);

    // The sender thread, from here on.
    void Run();
    void Deliver(const Item& item);
    void Ask(const Item& item);
    void PrepareAnswers(const ConnectionEnds& ends);
    void GiveUp(const Item& item, const std::string& reason) const;
    void Note(const std::string& text) const;

    const QueueConfig config;
    const QString host;
    const std::shared_ptr<QueueNotes> notes;
    // Readable once the sender was told to stop: ends a connection or wait under way.
    const int stopFd;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Item> queue;
    bool stop = false;
    // What the last exchanges with that computer showed (under `mutex`): the errno value of
    // the last one that did not reach its relay (0: it did), the queues its relay last said
    // nobody holds, its presence answers and the questions on their way.
    int unreachable = 0;
    std::set<QString> notHeld;
    std::map<QString, Answer> answers;
    std::set<QString> asking;
    // The outcomes of the messages taken, by sequence number, and the order they came in
    // (the oldest is forgotten first).
    std::map<std::int32_t, Outcome> outcomes;
    std::deque<std::int32_t> outcomeOrder;
    // Sender thread only.
    std::shared_ptr<AnswerRelay> answerRelay;
    std::string answerProblem;  // said once, until it changes
};

void RemoteSender::State::AskLocked(const QString& target) {
    if (!asking.insert(target).second) return;
    Item question;
    question.question = true;
    question.target = target;
    WireMessage probe;
    probe.senderHost = LocalHostName();
    probe.targetHost = host;
    probe.targetQueue = target;
    EncodeMessage(probe, question.frame, FrameKind::Probe);
    // Ahead of the messages: its answer is wanted now.
    queue.push_front(std::move(question));
    wake.notify_one();
}

int RemoteSender::State::RefusalLocked(const QString& target) const {
    if (unreachable != 0) return unreachable;
    return notHeld.count(target) != 0 ? ECONNREFUSED : 0;
}

void RemoteSender::State::NoteOutcomeLocked(std::int32_t sequence, Delivery delivery, int error) {
    const auto [it, added] = outcomes.insert_or_assign(sequence, Outcome{delivery, error});
    if (!added) {
        // A number used again counts from now.
        outcomeOrder.erase(std::find(outcomeOrder.begin(), outcomeOrder.end(), sequence));
    }
    outcomeOrder.push_back(sequence);
    while (outcomeOrder.size() > kRememberedDeliveries) {
        outcomes.erase(outcomeOrder.front());
        outcomeOrder.pop_front();
    }
}

bool RemoteSender::State::PauseLocked(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds pause) {
    wake.wait_for(lock, pause, [this] { return stop; });
    return !stop;
}

void RemoteSender::State::Note(const std::string& text) const {
    hv::Trace("Zandrel.MessageQueue: " + text + "\n");
    notes->Add(QString::fromStdString(text));
}

void RemoteSender::State::GiveUp(const Item& item, const std::string& reason) const {
    Note("gave up sending message " + std::to_string(item.sequence) + " to '" + item.target.toStdString() + "' on " +
         host.toStdString() + ": " + reason);
}

void RemoteSender::State::PrepareAnswers(const ConnectionEnds& ends) {
    // This user's own relay may serve the address the answers come back to (the relay of
    // the recorder's computer, on that computer): when it trusts that computer, the answers
    // come in through it, and this process listens there for nothing.
    std::vector<std::string> trusted;
    const auto trusts = [&](const std::string& address) {
        return std::find(trusted.begin(), trusted.end(), address) != trusted.end();
    };
    std::string problem;
    if (RelayMarked(config, ends.local, config.relayPort, &trusted) &&
        (trusts(ends.peer) || (IsThisComputersAddress(ends.peer) && trusts(ends.local)))) {
        if (answerRelay) answerRelay->LetGo(ends.local, stopFd);
    } else {
        if (!answerRelay) answerRelay = AnswerRelay::ForPort(config.relayPort);
        problem = answerRelay->Prepare(ends.local, ends.peer, stopFd, this);
    }
    if (problem == answerProblem || problem == "closing") return;
    answerProblem = problem;
    if (!problem.empty()) Note(problem);
}

void RemoteSender::State::Deliver(const Item& item) {
    // The message's time: connections that could not be made are tried again within it.
    const auto until = Clock::now() + std::chrono::milliseconds(config.sendTimeoutMs);
    int error = 0;
    for (int attempt = 1;; ++attempt) {
        WireAck ack;
        bool written = false;
        // The relay for the answers listens before the message goes out.
        error = SendRemote(config, host, item.frame, ack, nullptr, stopFd,
                           [this](const ConnectionEnds& ends) { PrepareAnswers(ends); }, &written);
        std::unique_lock lock(mutex);
        if (error == 0) {
            // The relay answered: the outcome there is final.
            unreachable = 0;
            const bool delivered = ack.res == 0 && ack.status == 1;
            if (delivered) {
                notHeld.erase(item.target);
                NoteOutcomeLocked(item.sequence, Delivery::Delivered, 0);
                return;
            }
            if (ack.result == ECONNREFUSED) notHeld.insert(item.target);
            const int refusal = ack.result != 0 ? ack.result : EPROTO;
            NoteOutcomeLocked(item.sequence, Delivery::Failed, refusal);
            lock.unlock();
            GiveUp(item, std::string("refused there (") + std::strerror(refusal) + ")");
            return;
        }
        // Another user's program listening there stays another user's.
        if (error == ECANCELED || error == EACCES || stop) break;
        // Later sends fail at once until that computer is heard again.
        unreachable = error;
        // A message that went out is not sent again: it may have arrived.
        const auto pause = std::chrono::milliseconds(kRemoteRetryPauseMs);
        if (written || attempt >= kRemoteAttempts || Clock::now() + pause >= until) break;
        if (!PauseLocked(lock, pause)) break;
    }
    bool closing = error == ECANCELED;
    {
        std::lock_guard lock(mutex);
        closing = closing || stop;
        NoteOutcomeLocked(item.sequence, Delivery::Failed, closing ? ECANCELED : error);
    }
    GiveUp(item, closing ? "the queue was closed" : std::strerror(error));
}

void RemoteSender::State::Ask(const Item& item) {
    // A question is asked again within its wait: one lost packet is not a computer cut off.
    const int waitMs = std::max(kPresenceQuestionWaitMs, config.sendTimeoutMs);
    const auto until = Clock::now() + std::chrono::milliseconds(waitMs);
    WireAck ack;
    int error = 0;
    for (;;) {
        QueueConfig attempt = config;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        attempt.sendTimeoutMs = static_cast<int>(std::clamp<long long>(left, 1, config.sendTimeoutMs));
        error = SendRemote(attempt, host, item.frame, ack, nullptr, stopFd);
        if (error == 0 || error == ECANCELED) break;
        std::unique_lock lock(mutex);
        const auto pause = std::chrono::milliseconds(kRemoteRetryPauseMs);
        if (stop || Clock::now() + pause >= until) break;
        if (!PauseLocked(lock, pause)) break;
    }
    std::lock_guard lock(mutex);
    asking.erase(item.target);
    if (error == ECANCELED || stop) return;
    Answer& answer = answers[item.target];
    answer.at = Clock::now();
    answer.held = error == 0 && ack.res == 0 && ack.status == 1;
    if (error != 0) {
        unreachable = error;
        return;
    }
    unreachable = 0;
    if (answer.held)
        notHeld.erase(item.target);
    else if (ack.result == ECONNREFUSED)
        notHeld.insert(item.target);
}

void RemoteSender::State::Run() {
    pthread_setname_np(pthread_self(), "queue sender");
    for (;;) {
        Item item;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [this] { return stop || !queue.empty(); });
            if (stop) break;
            item = std::move(queue.front());
            queue.pop_front();
        }
        if (item.letGo) {
            // After what was accepted before has gone out (its answers may still come).
            if (answerRelay) answerRelay->Forget(this);
        } else if (item.question) {
            Ask(item);
        } else {
            Deliver(item);
        }
    }
    std::deque<Item> left;
    {
        std::lock_guard lock(mutex);
        left.swap(queue);
        for (const Item& message : left)
            if (!message.question && !message.letGo) NoteOutcomeLocked(message.sequence, Delivery::Failed, ECANCELED);
    }
    for (const Item& message : left)
        if (!message.question && !message.letGo) GiveUp(message, "the queue was closed");
    // The answer relay is let go of here, on this thread: the answers of that computer are
    // no longer taken, and the last sender to let go ends it.
    if (answerRelay) answerRelay->Forget(this);
    answerRelay.reset();
}

// ---------------------------------------------------------------------------------------

RemoteSender::RemoteSender(QueueConfig config, QString host, std::shared_ptr<QueueNotes> notes)
    : state_(std::make_shared<State>(std::move(config), std::move(host), std::move(notes))) {
    thread_ = std::thread([state = state_] { state->Run(); });
}

RemoteSender::~RemoteSender() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stop = true;
    }
    state_->wake.notify_all();
    if (state_->stopFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(state_->stopFd, &one, sizeof one);
    }
    // Everything the thread waits on ends at once now (its connection, its pauses, its
    // answer relay's replies), so nothing it traces comes after its owner has gone.
    if (thread_.joinable()) thread_.join();
}

int RemoteSender::Enqueue(std::int32_t sequence, const QString& target, QByteArray frame) {
    std::lock_guard lock(state_->mutex);
    if (state_->queue.size() >= kMaxQueuedRemoteMessages) return ENOBUFS;
    if (const int refusal = state_->RefusalLocked(target)) {
        state_->AskLocked(target);
        return refusal;
    }
    state_->queue.push_back({false, false, sequence, target, std::move(frame)});
    state_->NoteOutcomeLocked(sequence, Delivery::Pending, 0);
    state_->wake.notify_one();
    return 0;
}

bool RemoteSender::IsHeld(const QString& target, bool& held) {
    std::lock_guard lock(state_->mutex);
    const auto now = Clock::now();
    const auto found = state_->answers.find(target);
    const auto age = found == state_->answers.end() ? Clock::duration::max() : now - found->second.at;
    if (age >= std::chrono::milliseconds(kPresenceAskAgainMs)) state_->AskLocked(target);
    if (age > std::chrono::milliseconds(kPresenceAnswerFreshMs)) return false;
    held = found->second.held;
    return true;
}

void RemoteSender::LetGo() {
    std::lock_guard lock(state_->mutex);
    State::Item item;
    item.letGo = true;
    state_->queue.push_back(std::move(item));
    state_->wake.notify_one();
}

bool RemoteSender::DeliveryOf(std::int32_t sequence, Delivery& delivery, int& error) {
    std::lock_guard lock(state_->mutex);
    const auto found = state_->outcomes.find(sequence);
    if (found == state_->outcomes.end()) return false;
    delivery = found->second.delivery;
    error = found->second.error;
    return true;
}

// ---------------------------------------------------------------------------------------

RemoteSender& RemoteSenders::SenderFor(const QString& host) {
    std::unique_ptr<RemoteSender>& sender = senders_[host.toLower()];
    if (!sender) sender = std::make_unique<RemoteSender>(config_, host, notes_);
    return *sender;
}

int RemoteSenders::Enqueue(const QString& host, std::int32_t sequence, const QString& target, QByteArray frame) {
    std::lock_guard lock(mutex_);
    return SenderFor(host).Enqueue(sequence, target, std::move(frame));
}

bool RemoteSenders::IsHeld(const QString& host, const QString& target, bool& held) {
    std::lock_guard lock(mutex_);
    return SenderFor(host).IsHeld(target, held);
}

bool RemoteSenders::DeliveryOf(const QString& host, std::int32_t sequence, Delivery& delivery, int& error) {
    std::lock_guard lock(mutex_);
    const auto found = senders_.find(host.toLower());
    return found != senders_.end() && found->second->DeliveryOf(sequence, delivery, error);
}

void RemoteSenders::Forget(const QString& host) {
    std::lock_guard lock(mutex_);
    const auto found = senders_.find(host.toLower());
    if (found != senders_.end()) found->second->LetGo();
}

}  // namespace zandrel
