// Stand-in for the suite's score board time component: a count of what the score board
// holds, which a reset sets to 0 and the status query reports. The count lives as long as
// the process that loaded the component; it starts at ZANDREL_SCOREBOARD_COUNT (0 when
// unset).
//
// Misbehaviours (SCOREBOARD_MISBEHAVE, comma-separated, read at every creation):
// "not-installed" offers no class at all, "stuck" keeps the count above 0 whatever resets
// it, "status-fails" makes the status query fail.
#include <QObject>
#include <QStringList>
#include <atomic>

#include "workflow/ScoreBoard.h"

namespace {

bool Misbehaves(const char* word) {
    const QStringList words = qEnvironmentVariable("SCOREBOARD_MISBEHAVE").toLower().split(u',', Qt::SkipEmptyParts);
    for (const QString& w : words)
        if (w.trimmed() == QLatin1StringView(word)) return true;
    return false;
}

std::atomic<std::uint32_t>& Count() {
    static std::atomic<std::uint32_t> count{qEnvironmentVariable("ZANDREL_SCOREBOARD_COUNT").toUInt()};
    return count;
}

class ScoreTime final : public QObject, public hv::IScoreTimeControl, public hv::IScoreTimeState {
    Q_OBJECT
    Q_INTERFACES(hv::IScoreTimeControl hv::IScoreTimeState)
public:
    hv::HResult Reset(std::int32_t) override {
        if (Misbehaves("stuck")) {
            if (Count() == 0) Count() = 1;
            return hv::S_OK;
        }
        Count() = 0;
        return hv::S_OK;
    }
    hv::HResult GetStatus(std::uint32_t& held, std::uint32_t& second, std::uint32_t& third) override {
        if (Misbehaves("status-fails")) return hv::E_FAIL;
        held = Misbehaves("stuck") && Count() == 0 ? 1 : Count().load();
        second = 0;
        third = 0;
        return hv::S_OK;
    }
};

class ScoreTimeProvider final : public QObject, public hv::IComponentProvider {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID HV_COMPONENT_PROVIDER_IID)
    Q_INTERFACES(hv::IComponentProvider)
public:
    QObject* CreateComponent(const QString& classId) override {
        if (classId != hv::kScoreTimeComponentClass || Misbehaves("not-installed")) return nullptr;
        return new ScoreTime;
    }
};

}  // namespace

#include "ScoreBoardComponent.moc"
