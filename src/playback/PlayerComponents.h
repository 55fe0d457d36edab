#pragma once
// The suite's playback components, as Halvane uses them: the player list and the replay
// player with its control and option interfaces. Every call returns a 32-bit result code.

#include <QObject>
#include <QString>
#include <cstdint>

#include "platform/Component.h"
#include "platform/FileTime.h"
#include "platform/Guid.h"
#include "platform/ResultCodes.h"

namespace hv {

inline const QString kPlayerEnumeratorClass = QStringLiteral("Zandrel.PlayerEnumerator");
inline const QString kReplayPlayerClass = QStringLiteral("Zandrel.ReplayPlayer");

// The list of installed players. Created anew for each use.
class IPlayerEnumerator {
public:
    virtual ~IPlayerEnumerator() = default;
    virtual HResult GetPlayerCount(std::int32_t& count) = 0;
    virtual HResult GetDisplayName(std::int32_t index, QString& name) = 0;
    virtual HResult GetRegName(std::int32_t index, QString& name) = 0;
    virtual HResult GetPlayerId(std::int32_t index, Guid& id) = 0;
    virtual HResult GetPlayerParam(std::int32_t index, std::int32_t& param) = 0;
};

// Replay player states reported by ReadState.
constexpr std::int32_t kPlayerStateLoaded = 3;
constexpr std::int32_t kPlayerStatePlaying = 5;

// The replay player's main interface.
class IReplayPlayer {
public:
    virtual ~IReplayPlayer() = default;
    // 1.0 normal forward, negative backward, 0 a still picture.
    virtual HResult SetSpeed(double speed) = 0;
    // Loads the camera pair at UTC time `start`; the player reports state 3 once loaded.
    virtual HResult LoadCameras(std::int32_t reserved, const Guid& videoCamera,
                                const Guid& audioCamera, FileTime start) = 0;
    virtual HResult Play() = 0;
    virtual HResult StopPlay(std::int32_t mode) = 0;
    virtual HResult ReadState(std::int32_t& state) = 0;
    // The time being played, UTC.
    virtual HResult ReadPlayTime(FileTime& time) = 0;
    // The playing position, UTC.
    virtual HResult ReadPosition(FileTime& time) = 0;
};

// Set-up of the same component.
class IReplayPlayerControl {
public:
    virtual ~IReplayPlayerControl() = default;
    virtual HResult SetUp(const Guid& playerId, std::int32_t playerParam, double fifoSeconds,
                          std::int32_t value1, std::int32_t value2, std::int32_t value3,
                          std::int32_t& result) = 0;
};

// Options of the same component (not every player offers them).
class IReplayPlayerOptions {
public:
    virtual ~IReplayPlayerOptions() = default;
    virtual HResult SetOption(std::int32_t value) = 0;
};

}  // namespace hv

Q_DECLARE_INTERFACE(hv::IPlayerEnumerator, "com.tervanix.zandrel.IPlayerEnumerator/1.0")
Q_DECLARE_INTERFACE(hv::IReplayPlayer, "com.tervanix.zandrel.IReplayPlayer/1.0")
Q_DECLARE_INTERFACE(hv::IReplayPlayerControl, "com.tervanix.zandrel.IReplayPlayerControl/1.0")
Q_DECLARE_INTERFACE(hv::IReplayPlayerOptions, "com.tervanix.zandrel.IReplayPlayerOptions/1.0")
