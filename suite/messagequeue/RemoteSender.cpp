#include "RemoteSender.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <set>
#include <thread>

#include <cerrno>
#include <cstring>

#include "AnswerRelay.h"
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
        std::int32_t sequence = 0;
        QString target;
        QByteArray frame;
    };
    struct Answer {
        bool held = false;
        Clock::time_point at;
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

void RemoteSender::State::Note(const std::string& text) const {
    hv::Trace("Zandrel.MessageQueue: " + text + "\n");
    notes->Add(QString::fromStdString(text));
}

void RemoteSender::State::GiveUp(const Item& item, const std::string& reason) const {
    Note("gave up sending message " + std::to_string(item.sequence) + " to '" + item.target.toStdString() + "' on " +
         host.toStdString() + ": " + reason);
}

void RemoteSender::State::PrepareAnswers(const ConnectionEnds& ends) {
    if (!answerRelay) answerRelay = AnswerRelay::ForPort(config.relayPort);
    const std::string problem = answerRelay->Prepare(ends.local, ends.peer, stopFd);
    if (problem == answerProblem || problem == "closing") return;
    answerProblem = problem;
    if (!problem.empty()) Note(problem);
}

void RemoteSender::State::Deliver(const Item& item) {
    int error = 0;
    for (int attempt = 1; attempt <= kRemoteAttempts; ++attempt) {
        WireAck ack;
        // The relay for the answers listens before the message goes out.
        error = SendRemote(config, host, item.frame, ack, nullptr, stopFd,
                           [this](const ConnectionEnds& ends) { PrepareAnswers(ends); });
        std::unique_lock lock(mutex);
        if (error == 0) {
            // The relay answered: the outcome there is final.
            unreachable = 0;
            const bool delivered = ack.res == 0 && ack.status == 1;
            if (delivered) {
                notHeld.erase(item.target);
                return;
            }
            if (ack.result == ECONNREFUSED) notHeld.insert(item.target);
            lock.unlock();
            GiveUp(item, std::string("refused there (") + std::strerror(ack.result) + ")");
            return;
        }
        if (error == ECANCELED || stop) break;
        // Later sends fail at once until that computer is heard again.
        unreachable = error;
        if (attempt == kRemoteAttempts) break;
        wake.wait_for(lock, std::chrono::milliseconds(kRemoteRetryPauseMs), [this] { return stop; });
        if (stop) break;
    }
    GiveUp(item, error == ECANCELED ? "the queue was closed" : std::strerror(error));
}

void RemoteSender::State::Ask(const Item& item) {
    WireAck ack;
    const int error = SendRemote(config, host, item.frame, ack, nullptr, stopFd);
    std::lock_guard lock(mutex);
    asking.erase(item.target);
    if (error == ECANCELED) return;
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
            if (stop) {
                for (const Item& left : queue)
                    if (!left.question) GiveUp(left, "the queue was closed");
                queue.clear();
                break;
            }
            item = std::move(queue.front());
            queue.pop_front();
        }
        if (item.question)
            Ask(item);
        else
            Deliver(item);
    }
    // The answer relay is let go of here, on this thread: the last to let go ends it.
    answerRelay.reset();
}

// ---------------------------------------------------------------------------------------

RemoteSender::RemoteSender(QueueConfig config, QString host, std::shared_ptr<QueueNotes> notes)
    : state_(std::make_shared<State>(std::move(config), std::move(host), std::move(notes))) {
    std::thread([state = state_] { state->Run(); }).detach();
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
}

int RemoteSender::Enqueue(std::int32_t sequence, const QString& target, QByteArray frame) {
    std::lock_guard lock(state_->mutex);
    if (state_->queue.size() >= kMaxQueuedRemoteMessages) return ENOBUFS;
    if (const int refusal = state_->RefusalLocked(target)) {
        state_->AskLocked(target);
        return refusal;
    }
    state_->queue.push_back({false, sequence, target, std::move(frame)});
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

}  // namespace zandrel
