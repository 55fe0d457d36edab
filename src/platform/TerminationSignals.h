#pragma once
// The signals that ask a program to end (SIGTERM from `kill` or the system's shutdown,
// SIGINT from Ctrl-C, SIGHUP when the terminal or session goes), turned into a Qt signal on
// the GUI thread so that the program closes in order instead of dying where it stands.
// The handler only writes the signal's number into a pipe; the GUI thread reads it.

#include <QObject>
#include <memory>

class QSocketNotifier;

namespace hv {

class TerminationSignals final : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; one object per process. A second signal of the same kind,
    // arriving while the first is being handled, ends the program at once (the default
    // action is restored as soon as the first one is seen).
    TerminationSignals();
    ~TerminationSignals() override;  // restores the default actions
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    bool IsValid() const;

    // A write to a closed pipe or socket (a standard error whose reader has gone, a peer
    // that closed) is an error of that write, not the end of the program.
    static void IgnoreBrokenPipes();

    // The text of a signal's name, "SIGTERM" for SIGTERM.
    static const char* Name(int signalNumber);

signals:
    // On the GUI thread, once per signal received.
    void Received(int signalNumber);

private:
    void ReadPending();

    int readFd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace hv
