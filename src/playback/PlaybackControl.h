#pragma once
// PlaybackControl: the main frame's handling of Crestron's play requests. The Crestron
// thread posts WM_USER+2 when the controller asked about a label and WM_USER+1 with a
// play request; both are carried out here, on the GUI thread, with the frame's
// ReplayPlayer. The update cycle refreshes the model's play position from here too.

#include <cstdint>

#include "platform/FileTime.h"

namespace hv {

class CGameInfo;
class Clock;
class ReplayPlayer;
class WindowMessageEvent;

class PlaybackControl {
public:
    explicit PlaybackControl(ReplayPlayer& player) : player_(player) {}

    // WM_USER+1. `wParam`: camera (low 16 bits, 1-based) and speed in sixths of normal
    // speed (high 16 bits, signed); `lParam`: the start in seconds from the start of the
    // game's year. A request that follows a label request starts `prerollSeconds` early;
    // nothing starts before the game does.
    void StartPlayback(std::uintptr_t wParam, std::intptr_t lParam, const CGameInfo& model,
                       std::int32_t prerollSeconds);
    // WM_USER+2: the next play request starts with the preroll.
    void OnLabelRequested() { LabelRequested = true; }

    // Carries out WM_USER+1 and WM_USER+2; false for any other message.
    bool HandleMessage(const WindowMessageEvent& message, const CGameInfo& model,
                       std::int32_t prerollSeconds);

    // The update cycle's refresh, once a second while command execution is on: while the
    // player plays or is paused, the time it plays becomes the model's play position.
    void RefreshPlayPosition(CGameInfo& model);

    // The last play request.
    FileTime RequestedStart = 0;
    std::int32_t RequestedCamera = 0;
    double RequestedSpeed = 0.0;
    bool LabelRequested = false;

private:
    ReplayPlayer& player_;
};

}  // namespace hv
