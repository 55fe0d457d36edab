// Stand-in for the suite's playback components.
//
// Player list: the players of the suite's per-user configuration (organisation
// "Tervanix", application "ZandrelSoftware"), an array "Players" whose entries hold
// "DisplayName", "RegName", "Id" (a braced identifier) and "Param" (an integer).
//
// Replay player: a virtual play clock; each set-up is noted on standard error. LoadCameras
// puts it at the start time (state 3), Play runs it (state 5) at the speed last set; the
// time played is the start plus the elapsed time times the speed (0 stands still,
// negative runs backward).

#include <QElapsedTimer>
#include <QObject>
#include <QSettings>
#include <QUuid>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/Component.h"
#include "playback/PlayerComponents.h"

namespace {

using hv::FileTime;
using hv::Guid;
using hv::HResult;

constexpr HResult kErrorInvalidData = static_cast<HResult>(0x8007000Du);
constexpr HResult kUnexpected = static_cast<HResult>(0x8000FFFFu);

constexpr std::int32_t kStateStopped = 1;

struct PlayerEntry {
    QString displayName;
    QString regName;
    QString id;
    QVariant param;
};

class PlayerEnumerator final : public QObject, public hv::IPlayerEnumerator {
    Q_OBJECT
    Q_INTERFACES(hv::IPlayerEnumerator)

public:
    PlayerEnumerator() {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Tervanix"),
                           QStringLiteral("ZandrelSoftware"));
        settings.setFallbacksEnabled(false);
        const int count = settings.beginReadArray(QStringLiteral("Players"));
        for (int i = 0; i < count; ++i) {
            settings.setArrayIndex(i);
            players_.push_back({settings.value(QStringLiteral("DisplayName")).toString(),
                                settings.value(QStringLiteral("RegName")).toString(),
                                settings.value(QStringLiteral("Id")).toString(),
                                settings.value(QStringLiteral("Param"))});
        }
        settings.endArray();
    }

    HResult GetPlayerCount(std::int32_t& count) override {
        count = static_cast<std::int32_t>(players_.size());
        return hv::S_OK;
    }
    HResult GetDisplayName(std::int32_t index, QString& name) override {
        if (!Valid(index)) return hv::E_INVALIDARG;
        name = players_[static_cast<size_t>(index)].displayName;
        return hv::S_OK;
    }
    HResult GetRegName(std::int32_t index, QString& name) override {
        if (!Valid(index)) return hv::E_INVALIDARG;
        name = players_[static_cast<size_t>(index)].regName;
        return hv::S_OK;
    }
    HResult GetPlayerId(std::int32_t index, Guid& id) override {
        if (!Valid(index)) return hv::E_INVALIDARG;
        const QString& text = players_[static_cast<size_t>(index)].id;
        const QUuid uuid = QUuid::fromString(text);
        if (uuid.isNull() || !text.startsWith(QLatin1Char('{'))) return kErrorInvalidData;
        const QByteArray bytes = uuid.toRfc4122();
        std::memcpy(id.bytes.data(), bytes.constData(), id.bytes.size());
        return hv::S_OK;
    }
    HResult GetPlayerParam(std::int32_t index, std::int32_t& param) override {
        if (!Valid(index)) return hv::E_INVALIDARG;
        bool ok = false;
        const int value = players_[static_cast<size_t>(index)].param.toInt(&ok);
        if (!ok) return kErrorInvalidData;
        param = value;
        return hv::S_OK;
    }

private:
    bool Valid(std::int32_t index) const {
        return index >= 0 && static_cast<size_t>(index) < players_.size();
    }
    std::vector<PlayerEntry> players_;
};

class ReplayPlayer final : public QObject,
                           public hv::IReplayPlayer,
                           public hv::IReplayPlayerControl,
                           public hv::IReplayPlayerOptions {
    Q_OBJECT
    Q_INTERFACES(hv::IReplayPlayer hv::IReplayPlayerControl hv::IReplayPlayerOptions)

public:
    HResult SetUp(const Guid& playerId, std::int32_t playerParam, double fifoSeconds,
                  std::int32_t value1, std::int32_t value2, std::int32_t value3,
                  std::int32_t& result) override {
        if (!(fifoSeconds > 0.0)) return hv::E_INVALIDARG;
        // Noted in the trace output, so that a program's player set-ups can be counted. In
        // whole milliseconds: a fraction would be printed in the host program's locale.
        std::fprintf(stderr, "Zandrel.ReplayPlayer: set up, FIFO %lld ms\n",
                     static_cast<long long>(std::llround(fifoSeconds * 1000.0)));
        setUp_ = true;
        result = 0;
        return hv::S_OK;
    }

    HResult SetOption(std::int32_t value) override { return hv::S_OK; }

    HResult SetSpeed(double speed) override {
        if (!std::isfinite(speed)) return hv::E_INVALIDARG;
        // A running clock goes on from where it is now, at the new speed.
        if (state_ == hv::kPlayerStatePlaying) {
            origin_ = Now();
            running_.start();
        }
        speed_ = speed;
        return hv::S_OK;
    }

    HResult LoadCameras(std::int32_t reserved, const Guid& videoCamera, const Guid& audioCamera,
                        FileTime start) override {
        if (!setUp_) return kUnexpected;
        if (IsNull(videoCamera) || start == 0) return hv::E_INVALIDARG;
        origin_ = start;
        state_ = hv::kPlayerStateLoaded;
        return hv::S_OK;
    }

    HResult Play() override {
        if (state_ != hv::kPlayerStateLoaded && state_ != hv::kPlayerStatePlaying) return kUnexpected;
        if (state_ == hv::kPlayerStateLoaded) running_.start();
        state_ = hv::kPlayerStatePlaying;
        return hv::S_OK;
    }

    HResult StopPlay(std::int32_t mode) override {
        state_ = kStateStopped;
        return hv::S_OK;
    }

    HResult ReadState(std::int32_t& state) override {
        state = state_;
        return hv::S_OK;
    }

    HResult ReadPlayTime(FileTime& time) override { return ReadPosition(time); }

    HResult ReadPosition(FileTime& time) override {
        if (state_ != hv::kPlayerStateLoaded && state_ != hv::kPlayerStatePlaying) return hv::E_FAIL;
        time = Now();
        return hv::S_OK;
    }

private:
    static bool IsNull(const Guid& id) {
        for (auto b : id.bytes)
            if (b != 0) return false;
        return true;
    }

    FileTime Now() const {
        if (state_ != hv::kPlayerStatePlaying || !running_.isValid()) return origin_;
        const double elapsedUnits = static_cast<double>(running_.nsecsElapsed()) / 100.0;
        const double now = static_cast<double>(origin_) + elapsedUnits * speed_;
        return now <= 0.0 ? 0 : static_cast<FileTime>(std::llround(now));
    }

    bool setUp_ = false;
    std::int32_t state_ = kStateStopped;
    double speed_ = 1.0;
    FileTime origin_ = 0;
    QElapsedTimer running_;
};

class PlaybackProvider final : public QObject, public hv::IComponentProvider {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID HV_COMPONENT_PROVIDER_IID)
    Q_INTERFACES(hv::IComponentProvider)

public:
    QObject* CreateComponent(const QString& classId) override {
        if (classId == hv::kPlayerEnumeratorClass) return new PlayerEnumerator;
        if (classId == hv::kReplayPlayerClass) return new ReplayPlayer;
        return nullptr;
    }
};

}  // namespace

#include "ReplayPlayerComponent.moc"
