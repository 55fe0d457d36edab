#pragma once
// A small hidden frame that serves the Crestron port: it owns the game model and the
// port, accepts waiting connections and receives the play requests.

#include <QObject>
#include <cstdint>

#include "crestron/Port4Crestron.h"
#include "game/GameInfo.h"

namespace hv {

class PortFrame final : public QObject {
public:
    PortFrame();
    ~PortFrame() override;

    // Clears the model and opens the port; false (see ErrorText) when it cannot listen.
    bool Create(unsigned port);
    QString ErrorText(unsigned port) const { return port_.GetInitErrorText(port); }

    CGameInfo& Game() { return game_; }
    CPort4Crestron& Port() { return port_; }

    // The last play request (WM_USER+1) and how many label requests (WM_USER+2) came.
    struct PlayRequest {
        int camera = 0;
        int speed = 0;
        std::int32_t startSeconds = 0;
    };
    PlayRequest LastPlayRequest() const { return lastPlay_; }
    int PlayRequestCount() const { return playRequests_; }
    int LabelRequestCount() const { return labelRequests_; }

protected:
    bool event(QEvent* event) override;

private:
    // Declared first so that it goes last: the port's working thread reads the model.
    CGameInfo game_;
    CPort4Crestron port_;
    PlayRequest lastPlay_;
    int playRequests_ = 0;
    int labelRequests_ = 0;
};

}  // namespace hv
