#include "playback/ReplayPlayer.h"

#include <QByteArray>
#include <chrono>
#include <thread>

#include "language/Language.h"
#include "language/MessageText.h"
#include "log/DiagnosticLog.h"
#include "platform/ComponentFactory.h"
#include "playback/PlayerComponents.h"

namespace hv {

namespace {

constexpr std::int32_t kStopMode = 2;
constexpr std::int32_t kSetUpValue1 = 1001;
constexpr std::int32_t kSetUpValue2 = 1010;
constexpr std::int32_t kSetUpValue3 = 1;
constexpr std::int32_t kPlayerOption = 15;
constexpr int kLoadPollTries = 100;
constexpr int kLoadPollDelayMs = 10;
constexpr std::int64_t kNearUnits = 2 * kFileTimeUnitsPerSecond;

constexpr unsigned kInitErrorTextId = 515;

}  // namespace

ReplayPlayer::ReplayPlayer(const ComponentFactory& components, const Clock& clock, SleepFunction sleep)
    : components_(components), clock_(clock), sleep_(std::move(sleep)) {
    if (!sleep_)
        sleep_ = [](int delayMs) { std::this_thread::sleep_for(std::chrono::milliseconds(delayMs)); };
}

ReplayPlayer::~ReplayPlayer() = default;

void ReplayPlayer::ReleasePlayer() {
    component_ = nullptr;
    componentObject_.reset();
}

HResult ReplayPlayer::FindPlayer(const QString& playerName, Guid& playerId, std::int32_t& playerParam) {
    step_ = 1;
    ComponentPtr listObject;
    HResult result = components_.Create(kPlayerEnumeratorClass, listObject);
    if (Failed(result)) return result;
    auto* list = QueryInterface<IPlayerEnumerator>(listObject.get());
    if (list == nullptr) return E_NOINTERFACE;

    step_ = 2;
    std::int32_t count = 0;
    result = list->GetPlayerCount(count);
    if (Failed(result)) return result;

    for (std::int32_t index = 0; index < count; ++index) {
        step_ = 3;
        QString regName;
        result = list->GetRegName(index, regName);
        if (Failed(result)) return result;
        if (regName.compare(playerName, Qt::CaseSensitive) != 0) continue;

        step_ = 4;
        result = list->GetPlayerId(index, playerId);
        if (Failed(result)) return result;
        step_ = 5;
        result = list->GetPlayerParam(index, playerParam);
        if (Failed(result)) return result;
        step_ = 6;
        return S_OK;
    }
    step_ = 3;
    return E_ACCESSDENIED;
}

bool ReplayPlayer::InitPlayer(const QString& playerName, std::int32_t fifoSizeMs) {
    ReleasePlayer();

    Guid playerId;
    std::int32_t playerParam = 0;
    lastResult_ = FindPlayer(playerName, playerId, playerParam);
    if (lastResult_ != S_OK) return false;

    step_ = 11;
    ComponentPtr object;
    lastResult_ = components_.Create(kReplayPlayerClass, object);
    if (lastResult_ != S_OK) return false;
    auto* player = QueryInterface<IReplayPlayer>(object.get());
    if (player == nullptr) {
        lastResult_ = E_NOINTERFACE;
        return false;
    }

    step_ = 12;
    auto* control = QueryInterface<IReplayPlayerControl>(object.get());
    if (control == nullptr) {
        lastResult_ = E_NOINTERFACE;
        return false;
    }

    step_ = 13;
    std::int32_t unused = 0;
    lastResult_ = control->SetUp(playerId, playerParam, fifoSizeMs * 0.001, kSetUpValue1,
                                 kSetUpValue2, kSetUpValue3, unused);
    if (lastResult_ != S_OK) return false;

    if (auto* options = QueryInterface<IReplayPlayerOptions>(object.get()))
        (void)options->SetOption(kPlayerOption);

    componentObject_ = std::move(object);
    component_ = player;
    step_ = 99;
    lastResult_ = S_OK;
    return true;
}

QString ReplayPlayer::GetInitErrorText(const QString& playerName, std::int32_t fifoSizeMs) const {
    return FillMessage(LoadStringOrMark(kInitErrorTextId), {playerName, fifoSizeMs, lastResult_, step_});
}

bool ReplayPlayer::IsNear(FileTime start) const {
    if (state_ == kNeverStarted || state_ == kStopped) return false;
    std::int32_t playerState = 0;
    if (component_->ReadState(playerState) != S_OK || playerState != kPlayerStatePlaying)
        return false;
    FileTime position = 0;
    if (component_->ReadPosition(position) != S_OK) return false;
    const std::int64_t difference =
        static_cast<std::int64_t>(position) - static_cast<std::int64_t>(start);
    return difference > -kNearUnits && difference < kNearUnits;
}

QByteArray ReplayPlayer::StartDetail(const Guid& camera, FileTime start, double speed) const {
    const CalendarTime t = clock_.LocalCalendar(start);
    return QString::asprintf("time=%04d-%02d-%02d_%02d:%02d:%02d,  speed=%.3f,  storage=%s", t.year,
                             t.month, t.day, t.hour, t.minute, t.second,
                             static_cast<double>(static_cast<float>(speed)), camera.ToString().c_str())
        .toLocal8Bit();
}

bool ReplayPlayer::StartPlaybackLocal(const Guid& camera, const Guid& audioCamera, FileTime start,
                                      double speed) {
    if (component_ == nullptr) {
        // Without a player every request fails; say so, with the reason the player could
        // not be set up, rather than dropping the request without a trace.
        WriteLog("Halvane::StartPlaybackLocal ERROR=0x%X,  step=%d,  %s\n",
                 static_cast<unsigned>(lastResult_), 0, StartDetail(camera, start, speed).constData());
        state_ = kStopped;
        return false;
    }

    if (camera == camera_ && IsNear(start)) {
        WriteLog("Halvane::ChangeSpeed(%.3f)\n", speed);
        (void)component_->SetSpeed(speed);
    } else {
        (void)component_->StopPlay(kStopMode);
        state_ = kStopped;

        std::int32_t step = 0;
        HResult result = S_OK;
        bool failed = false;
        step = 1;
        result = component_->SetSpeed(speed);
        failed = Failed(result);
        if (!failed) {
            step = 2;
            result = component_->LoadCameras(0, camera, audioCamera, start);
            failed = Failed(result);
        }
        if (!failed) {
            step = 3;
            for (int attempt = 0; attempt < kLoadPollTries; ++attempt) {
                sleep_(kLoadPollDelayMs);
                std::int32_t playerState = 0;
                result = component_->ReadState(playerState);
                if (result != S_OK) {
                    failed = true;
                    break;
                }
                if (playerState == kPlayerStateLoaded) break;
            }
        }
        if (!failed) {
            step = 4;
            result = component_->Play();
            failed = Failed(result);
        }
        if (!failed) step = 5;

        const QByteArray narrow = StartDetail(camera, start, speed);
        if (failed) {
            WriteLog("Halvane::StartPlaybackLocal ERROR=0x%X,  step=%d,  %s\n",
                     static_cast<unsigned>(result), step, narrow.constData());
            (void)component_->StopPlay(kStopMode);
            state_ = kStopped;
            return false;
        }
        WriteLog("Halvane::StartPlaybackLocal OK,  %s\n", narrow.constData());
        camera_ = camera;
        start_ = start;
    }

    speed_ = speed;
    state_ = speed == 0.0 ? kPaused : kPlaying;
    return true;
}

void ReplayPlayer::StopPlayback() {
    WriteLog("Halvane::StopPlayback\n");
    if (component_ != nullptr) (void)component_->StopPlay(kStopMode);
    state_ = kStopped;
}

bool ReplayPlayer::ReadPlayTime(FileTime& time) const {
    if (component_ == nullptr) return false;
    FileTime played = 0;
    if (component_->ReadPlayTime(played) != S_OK) return false;
    time = played;
    return true;
}

}  // namespace hv
