#include "platform/SocketWatch.h"

#include <QSocketNotifier>

#include "platform/WindowMessages.h"

namespace hv {

SocketWatch::SocketWatch(int listeningFd, QObject* window, unsigned message)
    : notifier_(std::make_unique<QSocketNotifier>(listeningFd, QSocketNotifier::Read)) {
    QSocketNotifier* notifier = notifier_.get();
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier, window, message] {
        notifier->setEnabled(false);
        PostWindowMessage(window, message);
    });
}

SocketWatch::~SocketWatch() = default;

bool SocketWatch::IsValid() const { return notifier_->isValid() && notifier_->isEnabled(); }

void SocketWatch::Rearm() { notifier_->setEnabled(true); }

}  // namespace hv
