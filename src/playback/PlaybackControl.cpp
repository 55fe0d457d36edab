#include "playback/PlaybackControl.h"

#include "game/GameInfo.h"
#include "log/DiagnosticLog.h"
#include "platform/WindowMessages.h"
#include "playback/ReplayPlayer.h"

namespace hv {

void PlaybackControl::StartPlayback(std::uintptr_t wParam, std::intptr_t lParam,
                                    const CGameInfo& model, std::int32_t prerollSeconds) {
    const FileTime gameStart = model.GetSnapshot().GameStart;
    RequestedStart = TimeFromGameYearOffset(gameStart, static_cast<std::int32_t>(lParam),
                                             model.TimeSource());
    RequestedCamera = static_cast<std::int32_t>(wParam & 0xFFFFu);
    RequestedSpeed = static_cast<std::int16_t>((wParam >> 16) & 0xFFFFu) / 6.0;

    Guid camera;
    if (!model.GetCamera(RequestedCamera - 1, camera)) {
        WriteLog(">>> !!! Halvane::StartPlayback() : wrong camera number %d (must be from 1 to %d) !!!\n",
                 RequestedCamera, model.GetCameraCount());
        player_.StopPlayback();
        return;
    }

    if (LabelRequested) {
        const std::int64_t moved = static_cast<std::int64_t>(RequestedStart) -
                                   static_cast<std::int64_t>(prerollSeconds) * kFileTimeUnitsPerSecond;
        RequestedStart = moved < 0 ? 0 : static_cast<FileTime>(moved);
    }
    if (RequestedStart < gameStart) RequestedStart = gameStart;

    Guid audioCamera;
    model.GetAudioCamera(audioCamera);
    (void)player_.StartPlaybackLocal(camera, audioCamera, RequestedStart, RequestedSpeed);
    LabelRequested = false;
}

bool PlaybackControl::HandleMessage(const WindowMessageEvent& message, const CGameInfo& model,
                                    std::int32_t prerollSeconds) {
    switch (message.Message()) {
    case kMsgPlayRequest:
        StartPlayback(message.WParam(), message.LParam(), model, prerollSeconds);
        return true;
    case kMsgLabelRequested:
        OnLabelRequested();
        return true;
    default:
        return false;
    }
}

void PlaybackControl::RefreshPlayPosition(CGameInfo& model) {
    const std::int32_t state = player_.State();
    if (state != ReplayPlayer::kPlaying && state != ReplayPlayer::kPaused) return;
    if (!player_.HasComponent()) return;
    FileTime played = 0;
    if (player_.ReadPlayTime(played)) model.SetPlayPosition(played);
}

}  // namespace hv
