// The frame's menu commands: one table with each command's handler and its enabling and
// tick rules.
#include <QCoreApplication>

#include "app/AboutBox.h"
#include "app/MainFrame.h"
#include "language/Language.h"
#include "log/DiagnosticLog.h"
#include "res/MenuResource.h"

namespace hv {

namespace {

struct CommandEntry {
    unsigned command;
    void (*run)(CMainFrame&);
    bool (*enabled)(const CMainFrame&);  // null: always enabled
    bool (*checked)(const CMainFrame&);  // null: never ticked
};

// Clears the icon's menu flag while a command runs, so that clicks on the icon are
// ignored meanwhile (a command may run a nested event loop).
template <void (*Handler)(CMainFrame&)>
void WithMenuDisabled(CMainFrame& frame) {
    frame.Tray.SetMenuEnabled(false);
    Handler(frame);
    frame.Tray.SetMenuEnabled(true);
}

const CommandEntry kCommands[] = {
    {cmd::AdvancedStart, WithMenuDisabled<[](CMainFrame& f) { f.AdvancedStart(); }>,
     [](const CMainFrame& f) { return !f.ExecutionEnabled; }, nullptr},
    {cmd::AdvancedStop, WithMenuDisabled<[](CMainFrame& f) { f.AdvancedStop(); }>,
     [](const CMainFrame& f) { return f.ExecutionEnabled; }, nullptr},
    {cmd::Settings, WithMenuDisabled<[](CMainFrame& f) { f.SettingsCommand(); }>,
     [](const CMainFrame& f) { return f.CurrentStatus != 5 && f.CurrentStatus != 7; }, nullptr},
    {cmd::KestriloLog, [](CMainFrame& f) { f.Link.MessageLog = !f.Link.MessageLog; }, nullptr,
     [](const CMainFrame& f) { return f.Link.MessageLog; }},
    {cmd::CrestronLog, [](CMainFrame& f) { f.Port.CrestronLog = !f.Port.CrestronLog; }, nullptr,
     [](const CMainFrame& f) { return f.Port.CrestronLog.load(); }},
    {cmd::PlayPosLog, [](CMainFrame& f) { f.Port.PlayPosLog = !f.Port.PlayPosLog; }, nullptr,
     [](const CMainFrame& f) { return f.Port.PlayPosLog.load(); }},
    {cmd::English, WithMenuDisabled<[](CMainFrame& f) { f.ChooseLanguageCommand(0); }>, nullptr, nullptr},
    {cmd::Russian, WithMenuDisabled<[](CMainFrame& f) { f.ChooseLanguageCommand(kRussianLanguageId); }>, nullptr, nullptr},
    {cmd::Exit, [](CMainFrame& f) { f.Exit(); }, nullptr, nullptr},
    {cmd::About, [](CMainFrame&) { ShowAboutBox(); }, nullptr, nullptr},
    {cmd::ArchiveGame, [](CMainFrame& f) { f.OnArchiveGame(); }, nullptr, nullptr},
    {cmd::StartNewGame, [](CMainFrame& f) { f.OnStartNewGame(); }, nullptr, nullptr},
    {cmd::StopGame, [](CMainFrame& f) { f.OnStopGame(); }, nullptr, nullptr},
    {cmd::StartArchivedGame, [](CMainFrame& f) { f.OnStartArchivedGame(); }, nullptr, nullptr},
    {cmd::Test, [](CMainFrame& f) { f.OnTest(); }, nullptr, nullptr},
};

const CommandEntry* FindCommand(unsigned command) {
    for (const CommandEntry& entry : kCommands)
        if (entry.command == command) return &entry;
    return nullptr;
}

}  // namespace

void CMainFrame::OnCommand(unsigned command) {
    const CommandEntry* entry = FindCommand(command);
    if (entry == nullptr || entry->run == nullptr) return;
    if (entry->enabled != nullptr && !entry->enabled(*this)) return;
    entry->run(*this);
}

bool CMainFrame::IsCommandEnabled(unsigned command) const {
    const CommandEntry* entry = FindCommand(command);
    if (entry == nullptr) return true;
    return entry->enabled == nullptr || entry->enabled(*this);
}

bool CMainFrame::IsCommandChecked(unsigned command) const {
    const CommandEntry* entry = FindCommand(command);
    return entry != nullptr && entry->checked != nullptr && entry->checked(*this);
}

CommandState CMainFrame::QueryCommandState(unsigned command) {
    return {IsCommandEnabled(command), IsCommandChecked(command)};
}

void CMainFrame::AdvancedStart() {
    WriteLog("Halvane::Menu File->Start.\n");
    Link.ResetGameState();
    Link.PollingEnabled = true;
    Game.Clear();
    Game.SetGameStart(GameStartLocal);
    StopPlayback();
    ExecutionEnabled = true;
}

void CMainFrame::AdvancedStop() {
    WriteLog("Halvane::Menu File->Stop.\n");
    Link.PollingEnabled = false;
    StopPlayback();
    ExecutionEnabled = false;
}

void CMainFrame::StopPlayback() { Player.StopPlayback(); }

void CMainFrame::ChooseLanguageCommand(unsigned lcid) { ChooseLanguage(lcid); }

void CMainFrame::Exit() {
    if (!MayClose()) return;
    Destroy();
    emit CloseRequested();
}

void CMainFrame::ExitUnattended() {
    if (destroyed_ || !MayCloseUnattended()) return;
    Destroy();
    emit CloseRequested();
}

}  // namespace hv
