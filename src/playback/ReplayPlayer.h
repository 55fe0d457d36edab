#pragma once
// ReplayPlayer: the frame's wrapper around the suite's replay player component. It finds
// the player chosen in the settings through the player list, sets the component up, and
// starts, re-speeds and stops playback. GUI thread only.

#include <QString>
#include <cstdint>
#include <functional>

#include "platform/Clock.h"
#include "platform/Component.h"
#include "platform/FileTime.h"
#include "platform/Guid.h"
#include "platform/ResultCodes.h"

namespace hv {

class ComponentFactory;
class IReplayPlayer;

class ReplayPlayer {
public:
    // Wrapper states.
    static constexpr std::int32_t kNeverStarted = 0;
    static constexpr std::int32_t kStopped = 1;
    static constexpr std::int32_t kPlaying = 2;
    static constexpr std::int32_t kPaused = 3;

    // Pauses the calling thread while the start waits for the player to load.
    using SleepFunction = std::function<void(int delayMs)>;

    explicit ReplayPlayer(const ComponentFactory& components, const Clock& clock = Clock::System(),
                          SleepFunction sleep = {});
    ~ReplayPlayer();
    ReplayPlayer(const ReplayPlayer&) = delete;
    ReplayPlayer& operator=(const ReplayPlayer&) = delete;

    // Creates and sets up the player registered as `playerName` with a buffer of
    // `fifoSizeMs`. True when the player is ready; otherwise LastResult and Step tell
    // which call failed, and there is no component.
    bool InitPlayer(const QString& playerName, std::int32_t fifoSizeMs);
    // The message shown when InitPlayer failed (string 515, filled in).
    QString GetInitErrorText(const QString& playerName, std::int32_t fifoSizeMs) const;

    // Plays `camera` (with `audioCamera`) from UTC time `start` at `speed` (1.0 normal,
    // negative backward, 0 still). On the camera already playing within 2 s of `start`,
    // only the speed changes. True when the player plays (or changed speed). Blocks for
    // up to about a second while the player loads.
    bool StartPlaybackLocal(const Guid& camera, const Guid& audioCamera, FileTime start, double speed);
    void StopPlayback();
    // Lets the component go (the archive workflow frees the recordings this way).
    void ReleasePlayer();

    // The time being played, UTC; false without a component or when the player fails.
    bool ReadPlayTime(FileTime& time) const;

    bool HasComponent() const { return component_ != nullptr; }
    std::int32_t State() const { return state_; }
    HResult LastResult() const { return lastResult_; }
    std::int32_t Step() const { return step_; }
    const Guid& Camera() const { return camera_; }
    FileTime Start() const { return start_; }
    double Speed() const { return speed_; }

private:
    HResult FindPlayer(const QString& playerName, Guid& playerId, std::int32_t& playerParam);
    bool IsNear(FileTime start) const;
    // "time=...,  speed=...,  storage={camera}" of a start's log line.
    QByteArray StartDetail(const Guid& camera, FileTime start, double speed) const;

    const ComponentFactory& components_;
    const Clock& clock_;
    SleepFunction sleep_;

    ComponentPtr componentObject_;
    IReplayPlayer* component_ = nullptr;
    HResult lastResult_ = 1;
    std::int32_t step_ = 0;
    std::int32_t state_ = kNeverStarted;
    Guid camera_;
    FileTime start_ = 0;
    double speed_ = 0.0;
};

}  // namespace hv
