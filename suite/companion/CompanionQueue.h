#pragma once
// What the suite's companion programs share: the queue they hold under their name,
// opened through the installed message queue component as every application of the suite
// opens it, the messages taken off it in order, and the sends of their answers.

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "platform/ComponentFactory.h"
#include "workflow/SuiteComponents.h"

namespace zandrel {

class CompanionQueue final : public QObject {
public:
    // Runs on the GUI thread for every message taken, in arrival order.
    using Handler = std::function<void(const hv::QueueMessage& message)>;

    explicit CompanionQueue(Handler handler);
    ~CompanionQueue() override;  // closes the queue and frees the name
    CompanionQueue(const CompanionQueue&) = delete;
    CompanionQueue& operator=(const CompanionQueue&) = delete;

    enum class OpenResult { Opened, NoComponent, NameHeld };
    // Holds `name` through the component installed in `componentDirectory`. A name held
    // by another program is tried again for about two seconds (a presence probe holds a
    // name for a moment). `error` says what went wrong when the result is not Opened.
    OpenResult Open(const QString& componentDirectory, const QString& name, QString* error);

    // Sends one message with the next sequence number; false (with a line on stderr) when
    // the target did not take it.
    bool Send(const QString& host, const QString& target, const QString& firstText,
              const QString& secondText);

protected:
    bool event(QEvent* event) override;

private:
    void Drain();

    Handler handler_;
    std::unique_ptr<hv::ComponentFactory> factory_;
    hv::ComponentPtr serviceObject_;
    hv::ComponentPtr queueObject_;
    hv::IMessageQueue* queue_ = nullptr;
    std::int32_t sequence_ = 0;
};

// The exit codes every companion shares.
constexpr int kExitBadArguments = 2;
constexpr int kExitNameHeld = 3;
constexpr int kExitNoComponent = 4;

// The end of a companion whose queue could not be held (`result` is not Opened): why, on
// standard error after "<program>: ", and the exit code, kExitNoComponent or kExitNameHeld.
int OpenFailed(CompanionQueue::OpenResult result, const QString& program, const QString& error);

// Has the message queue component of this process refuse `message` at its queue (an entry
// of ZANDREL_QUEUE_REFUSE: a first text, or "FIRST|START" for the messages whose second
// text begins with START), so that its sender's send fails. Before the queue is opened.
void RefuseAtTheQueue(const QString& message);

// The folder of the installed components: HALVANE_COMPONENT_DIR when set, else the first
// "components" folder next to the program or in one of the two folders above it (the
// suite's programs live one or two levels below its install folder).
QString ComponentDirectory();

// What a companion is told to do wrong, as lower-case words: those of the environment
// variable <PROGRAM>_MISBEHAVE (comma-separated), else those of the "misbehave" line of
// <Program>.conf next to the executable.
QStringList Misbehaviours(const QString& program);

// One line on standard error, flushed: the companions' only diagnostics.
void ReportError(const QString& line);
// One line on standard output, flushed: what a companion tells whoever watches it.
void ReportLine(const QString& line);

}  // namespace zandrel
