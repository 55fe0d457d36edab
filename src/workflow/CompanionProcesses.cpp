#include "workflow/CompanionProcesses.h"

#include <QStandardPaths>
#include <QThread>

#include "log/DiagnosticLog.h"

namespace hv {

namespace {

const CompanionEntry kCompanions[] = {
    {CompanionId::Vortamo, &AppSettings::VortamoExePath, "Vortamo1", "#1", nullptr, WindowShow::Hidden},
    {CompanionId::Dravenor, &AppSettings::DravenorExePath, "Dravenor1", "#1 -start -minimize", "#1 -stop -exit",
     WindowShow::Hidden},
    {CompanionId::Kestrilo, &AppSettings::TamberloExePath, "Kestrilo", "-openlast", nullptr, WindowShow::Normal},
    {CompanionId::Ostrimund, &AppSettings::OstrimundExePath, nullptr, "", nullptr, WindowShow::Normal},
};

QStringList Arguments(const char* text) {
    return QString::fromLatin1(text).split(u' ', Qt::SkipEmptyParts);
}

}  // namespace

const CompanionEntry& Companion(CompanionId id) {
    for (const CompanionEntry& entry : kCompanions)
        if (entry.Id == id) return entry;
    return kCompanions[0];
}

bool SystemctlServiceControl::OpenManager() {
    return !QStandardPaths::findExecutable(QStringLiteral("systemctl")).isEmpty();
}

void SystemctlServiceControl::StopService(const QString& name) {
    const QString systemctl = QStandardPaths::findExecutable(QStringLiteral("systemctl"));
    if (systemctl.isEmpty()) return;
    // The stop is asked for and not waited for, neither the service's end (--no-block) nor
    // systemctl's own: it is reaped once it has ended. Never a password prompt: nobody
    // would see it. Started as the companions are, so it inherits none of our descriptors.
    launcher_.StartDetached(systemctl, {QStringLiteral("--no-ask-password"), QStringLiteral("--no-block"),
                                        QStringLiteral("stop"), name.toLower() + QStringLiteral(".service")});
}

CCompanionProcesses::CCompanionProcesses(const AppSettings& settings, Environment environment)
    : settings_(settings), environment_(std::move(environment)) {
    if (!environment_.Sleep) environment_.Sleep = [](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); };
}

bool CCompanionProcesses::LaunchAsUser(const QString& path, const QStringList& arguments) {
    WriteLog("Halvane::LaunchAsUser('%s %s') not available here, starting it directly.\n",
             path.toUtf8().constData(), arguments.join(u' ').toUtf8().constData());
    return false;
}

void CCompanionProcesses::StartCompanion(const QString& path, const QStringList& arguments, WindowShow) {
    if (LaunchAsUser(path, arguments)) return;
    // The window state has no meaning for a program started here: each companion decides
    // how it shows itself.
    int error = 0;
    if (!launcher_.StartDetached(path, arguments, &error))
        WriteLog("Halvane::StartCompanion('%s') failed: error %d.\n", path.toUtf8().constData(), error);
}

void CCompanionProcesses::StartCompanion(CompanionId id) {
    const CompanionEntry& entry = Companion(id);
    StartCompanion(settings_.*entry.ExePath, Arguments(entry.StartArgs), entry.Show);
}

void CCompanionProcesses::StopDravenor() {
    const CompanionEntry& entry = Companion(CompanionId::Dravenor);
    StartCompanion(settings_.*entry.ExePath, Arguments(entry.StopArgs), entry.Show);
}

bool CCompanionProcesses::StartOstrimund() {
    int error = 0;
    const pid_t pid = launcher_.StartChild(settings_.OstrimundExePath, {}, &error);
    if (pid <= 0) {
        WriteLog("Halvane::StartOstrimund('%s') failed: error %d.\n",
                 settings_.OstrimundExePath.toUtf8().constData(), error);
        return false;
    }
    // A storage manager still waited for from an earlier start is no longer watched; it is
    // reaped with the detached companions once it ends.
    if (ostrimund_ > 0 && !ProcessLauncher::ChildEnded(ostrimund_)) launcher_.Detach(ostrimund_);
    ostrimund_ = pid;
    return true;
}

bool CCompanionProcesses::OstrimundEnded() {
    if (!ProcessLauncher::ChildEnded(ostrimund_)) return false;
    ostrimund_ = 0;
    return true;
}

bool CCompanionProcesses::ResetScoreBoard() {
    IScoreTimeControl* control = nullptr;
    ComponentPtr object = environment_.Components->CreateFor(kScoreTimeComponentClass, control);
    if (object && control != nullptr) {
        control->Reset(0);
        return true;
    }
    object.reset();

    if (environment_.Services == nullptr || !environment_.Services->OpenManager()) return false;
    environment_.Services->StopService(kScoreBoardService);
    environment_.Sleep(1000);
    // The stop is only asked for, but its systemctl has had the second to end: reaped now
    // rather than at the next tick of the frame's timer.
    environment_.Services->ReapEnded();
    IScoreTimeState* state = nullptr;
    environment_.Components->CreateFor(kScoreTimeComponentClass, state);
    return true;
}

bool CCompanionProcesses::IsScoreBoardReset() {
    IScoreTimeState* state = nullptr;
    ComponentPtr object = environment_.Components->CreateFor(kScoreTimeComponentClass, state);
    if (!object || state == nullptr) return true;
    std::uint32_t held = 0;
    std::uint32_t second = 0;
    std::uint32_t third = 0;
    const HResult res = state->GetStatus(held, second, third);
    if (Failed(res)) {
        // Counted as reset, as the suite has always done; but it is worth a line.
        WriteLog("Halvane::IsScoreBoardReset status call failed: res=0x%X, taken as reset.\n",
                 static_cast<unsigned>(res));
        return true;
    }
    return held == 0;
}

}  // namespace hv
