#pragma once
// Messages posted to the main frame from other threads and components. Each message
// number keeps its name; it travels as a Qt event of its own type.

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <cstdint>

namespace hv {

constexpr unsigned WM_USER = 0x400;

constexpr unsigned kMsgPlayRequest = WM_USER + 1;        // Crestron C0501
constexpr unsigned kMsgLabelRequested = WM_USER + 2;     // Crestron C0401
constexpr unsigned kMsgTrayCallback = WM_USER + 10;      // notification-area icon
constexpr unsigned kMsgConnectionWaiting = WM_USER + 11; // Crestron listening socket
constexpr unsigned kMsgCompanionMessages = WM_USER + 123;// message queue arrivals

// The event type that carries window message `message` (WM_USER and above).
constexpr QEvent::Type EventTypeOf(unsigned message) {
    return static_cast<QEvent::Type>(QEvent::User + static_cast<int>(message - WM_USER));
}

class WindowMessageEvent final : public QEvent {
public:
    WindowMessageEvent(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
        : QEvent(EventTypeOf(message)), message_(message), wParam_(wParam), lParam_(lParam) {}

    unsigned Message() const { return message_; }
    std::uintptr_t WParam() const { return wParam_; }
    std::intptr_t LParam() const { return lParam_; }

private:
    unsigned message_;
    std::uintptr_t wParam_;
    std::intptr_t lParam_;
};

// Posts a message to `window`'s thread; callable from any thread. The window must outlive
// every poster (the frame joins its threads before it goes). Null windows are ignored.
inline void PostWindowMessage(QObject* window, unsigned message, std::uintptr_t wParam = 0,
                              std::intptr_t lParam = 0) {
    if (window == nullptr) return;
    QCoreApplication::postEvent(window, new WindowMessageEvent(message, wParam, lParam));
}

}  // namespace hv
