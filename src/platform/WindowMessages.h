#pragma once
// Messages posted to the main frame from other threads and components. Each message
// number keeps its name; it travels as a Qt event of its own type.

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <cstdint>

#if defined(__SANITIZE_THREAD__)
#define HV_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define HV_THREAD_SANITIZER 1
#endif
#endif
#ifndef HV_THREAD_SANITIZER
#define HV_THREAD_SANITIZER 0
#endif
#if HV_THREAD_SANITIZER
#include <sanitizer/tsan_interface.h>
#endif

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

// A posted message passes from the posting thread to the window's under Qt's own locks,
// which the thread sanitizer cannot see into. The hand-off is told to it: the poster
// releases on the window once the event is made, and the window acquires first thing in
// its event(), before it looks at any event (ReceiveWindowMessages). Without the sanitizer
// both do nothing.
inline void ReleaseToWindow([[maybe_unused]] const QObject* window) {
#if HV_THREAD_SANITIZER
    __tsan_release(const_cast<QObject*>(window));
#endif
}

// Called first in event() of a window that receives posted messages, on its thread.
inline void ReceiveWindowMessages([[maybe_unused]] const QObject* window) {
#if HV_THREAD_SANITIZER
    __tsan_acquire(const_cast<QObject*>(window));
#endif
}

// Posts a message to `window`'s thread; callable from any thread. The window must outlive
// every poster (the frame joins its threads before it goes). Null windows are ignored.
inline void PostWindowMessage(QObject* window, unsigned message, std::uintptr_t wParam = 0,
                              std::intptr_t lParam = 0) {
    if (window == nullptr) return;
    auto* event = new WindowMessageEvent(message, wParam, lParam);
    ReleaseToWindow(window);
    QCoreApplication::postEvent(window, event);
}

}  // namespace hv
