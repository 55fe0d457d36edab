#pragma once
// Queues that stand between the companion link and the real component in tests: one that
// records what is sent (and passes it on when it wraps a real queue), and one that hands
// out scripted messages.

#include <deque>
#include <functional>
#include <vector>

#include "workflow/SuiteComponents.h"

namespace hv::test {

struct SentMessage {
    std::int32_t sequence = 0;
    QString host;
    QString target;
    QString first;
    QString second;
};

// Records every Send; passes everything on to `real` when there is one, else accepts.
class RecordingQueue final : public IMessageQueue {
public:
    explicit RecordingQueue(IMessageQueue* real = nullptr) : real_(real) {}
    HResult GetCount(std::int32_t& count, std::int32_t& second) override {
        if (real_) return real_->GetCount(count, second);
        count = 0;
        second = 0;
        return S_OK;
    }
    HResult Receive(QueueMessage& message) override {
        if (real_) return real_->Receive(message);
        message = {};
        return S_OK;
    }
    HResult Send(std::int32_t& status, std::int32_t& result, std::int32_t sequence, std::int32_t reserved1,
                 std::int32_t reserved2, const QString& host, const QString& target, const QString& first,
                 const QString& second) override {
        sent.push_back({sequence, host, target, first, second});
        if (real_) return real_->Send(status, result, sequence, reserved1, reserved2, host, target, first, second);
        status = 1;
        result = 0;
        return S_OK;
    }
    // "target: first / second" of each message, for comparing whole passes.
    std::vector<std::string> Summary() const {
        std::vector<std::string> lines;
        for (const SentMessage& m : sent)
            lines.push_back((m.target + u':' + m.first + u'/' + m.second).toStdString());
        return lines;
    }
    std::vector<SentMessage> sent;

private:
    IMessageQueue* real_;
};

// Hands out the messages in `waiting`; `onReceive` runs before each Receive (to add
// messages meanwhile or to make it fail).
class ScriptedQueue final : public IMessageQueue {
public:
    HResult GetCount(std::int32_t& count, std::int32_t& second) override {
        ++getCountCalls;
        second = 0;
        count = fixedCount >= 0 ? fixedCount : static_cast<std::int32_t>(waiting.size());
        return getCountResult;
    }
    HResult Receive(QueueMessage& message) override {
        ++receiveCalls;
        if (onReceive) onReceive(*this);
        message = {};
        if (receiveResult != S_OK) return receiveResult;
        if (waiting.empty()) return S_OK;
        message = waiting.front();
        waiting.pop_front();
        return S_OK;
    }
    HResult Send(std::int32_t& status, std::int32_t& result, std::int32_t, std::int32_t, std::int32_t,
                 const QString&, const QString&, const QString&, const QString&) override {
        status = 1;
        result = 0;
        return S_OK;
    }

    void Add(const QString& first, const QString& second) {
        QueueMessage m;
        m.Values[2] = 1;
        m.Texts[2] = first;
        m.Texts[3] = second;
        waiting.push_back(m);
    }

    std::deque<QueueMessage> waiting;
    std::function<void(ScriptedQueue&)> onReceive;
    std::int32_t fixedCount = -1;  // >= 0: GetCount always reports this
    HResult getCountResult = S_OK;
    HResult receiveResult = S_OK;
    int getCountCalls = 0;
    int receiveCalls = 0;
};

}  // namespace hv::test
