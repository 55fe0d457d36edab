#pragma once
// Loading and saving AppSettings: the program's own settings (organisation "Tervanix",
// application "Halvane", group "Settings"), the start-on-logon entry, the suite's install
// folder and the replay machine's settings. GUI thread.
//
// The top-level value "Locale" of the same settings belongs to the language selection
// and is neither read nor written here.

#include <QString>
#include <functional>

#include "settings/AppSettings.h"

namespace hv {

class ComponentFactory;

// Where the settings meet the system. ForThisProcess gives the program's real places;
// tests point them at temporary folders.
struct SettingsEnvironment {
    const ComponentFactory* Components = nullptr;  // creates the suite registry; null = none
    QString ExecutablePath;   // full path that starts the running executable
    QString AutostartFolder;  // where the start-on-logon entry lives

    static SettingsEnvironment ForThisProcess(const ComponentFactory& components);
};

// The path that starts `executable` for the start-on-logon entry: the command in bin
// that leads to an installed program (it stays the same across the package's upgrades),
// otherwise the executable itself.
QString StartCommandOf(const QString& executable);

// Receives VortamoIP at the end of LoadSettings (the companion link's SetVortamoHost).
using VortamoHostSink = std::function<void(const QString& host)>;

// Fills `settings` from the store, each missing or unreadable value keeping the field's
// current value; derives Autostart, SetupPath and the executable paths; ends by handing
// VortamoIP to `setVortamoHost`. Reports nothing.
void LoadSettings(AppSettings& settings, const SettingsEnvironment& environment,
                  const VortamoHostSink& setVortamoHost);

// The archive root (CopyToPath) as stored, for a command that runs without the program:
// read only, nothing created or changed; empty when none is stored. `file`, when given,
// gets the settings' file (or key) for messages.
QString ReadStoredArchiveRoot(QString* file = nullptr);

// Writes the stored values and the start-on-logon entry. Reports nothing.
void SaveSettings(const AppSettings& settings, const SettingsEnvironment& environment);

// The replay machine's settings (organisation "Tervanix", application "Ferrolith", group
// "Settings"), written only when they already exist (here: when their file exists, even
// empty or with an empty group): VortamoControl 1, VortamoPeriod0 the
// period number before the game, VortamoServer the recorder's address when the recorder
// is remote, else "localhost". True when they were written.
bool WriteReplayMachineSettings(const AppSettings& settings, bool remoteRecorder);

// The pieces of LoadSettings, for the settings dialog and the tests.
bool ReadAutostart(const SettingsEnvironment& environment);
void WriteAutostart(const SettingsEnvironment& environment, bool enabled);
QString ResolveSetupPath(const SettingsEnvironment& environment);
void ComposeExecutablePaths(AppSettings& settings);

// The start-on-logon entry's file name inside the autostart folder.
inline const QString kAutostartEntryName = QStringLiteral("Halvane.desktop");
// Where the suite is looked for when nothing names its install folder.
QString DefaultSetupPath();

}  // namespace hv
