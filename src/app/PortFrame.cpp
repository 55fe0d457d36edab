#include "app/PortFrame.h"

#include "platform/Trace.h"
#include "platform/WindowMessages.h"

namespace hv {

PortFrame::PortFrame() = default;

PortFrame::~PortFrame() {
    // The working thread is joined while the model is still there.
    port_.ClosePort();
}

bool PortFrame::Create(unsigned port) {
    game_.Clear();
    return port_.InitPort(port, this, &game_);
}

bool PortFrame::event(QEvent* event) {
    if (event->type() == EventTypeOf(kMsgConnectionWaiting)) {
        port_.AcceptConnection();
        return true;
    }
    if (event->type() == EventTypeOf(kMsgPlayRequest)) {
        const auto* message = static_cast<WindowMessageEvent*>(event);
        lastPlay_.camera = static_cast<int>(message->WParam() & 0xFFFF);
        lastPlay_.speed = static_cast<std::int16_t>((message->WParam() >> 16) & 0xFFFF);
        lastPlay_.startSeconds = static_cast<std::int32_t>(message->LParam());
        ++playRequests_;
        Trace(QString::asprintf("play request: camera %d, speed %d, start %d\n", lastPlay_.camera,
                                lastPlay_.speed, lastPlay_.startSeconds));
        return true;
    }
    if (event->type() == EventTypeOf(kMsgLabelRequested)) {
        ++labelRequests_;
        Trace(QStringLiteral("label requested: the next play start uses the preroll\n"));
        return true;
    }
    return QObject::event(event);
}

}  // namespace hv
