#include "platform/WindowMessages.h"

#include <QCoreApplication>

namespace hv {

void PostWindowMessage(QObject* window, unsigned message, std::uintptr_t wParam,
                       std::intptr_t lParam) {
    if (window == nullptr) return;
    QCoreApplication::postEvent(window, new WindowMessageEvent(message, wParam, lParam));
}

}  // namespace hv
