#pragma once
// SettingsDlgValues: the settings the "Halvane Settings" dialog edits, as values apart from
// its controls, and the one place where they are copied to and from AppSettings.

#include <QString>
#include <cstdint>

#include "settings/AppSettings.h"

namespace hv {

// The values the dialog edits, in the order the frame hands them over.
struct SettingsDlgValues {
    std::int32_t Port = 1025;
    bool Autostart = false;
    QString PlayerRegName;
    std::int32_t FifoSizeMS = 300;
    bool UseGameTime = true;
    std::int32_t Preroll = 5;
    QString VortamoIP;
    QString CopyToPath;
    QString CopyFromPathList;  // folders joined by ";"
    bool DeleteCopiedFiles = false;
    std::int32_t CopyRateLimit_MBperSEC = 10;
    std::int32_t DefPeriodNumber = 50;

    static SettingsDlgValues From(const AppSettings& settings);
};

// The edited settings fall into groups that the frame applies each in its own way. Each
// function copies one group between two holders of those fields (AppSettings and
// SettingsDlgValues, either way round).

// Taken as they are: start on logon, label times from the game clock, the preroll.
template <class Source, class Target>
void CopyPlainSettings(const Source& from, Target& to) {
    to.Autostart = from.Autostart;
    to.UseGameTime = from.UseGameTime;
    to.Preroll = from.Preroll;
}

// The replay player's: a change sets the player up again.
template <class Source, class Target>
void CopyPlayerSettings(const Source& from, Target& to) {
    to.FifoSizeMS = from.FifoSizeMS;
    to.PlayerRegName = from.PlayerRegName;
}

// Copying's (with the recorder's address): taken together under the frame's lock, so that
// the copy worker sees a change whole.
template <class Source, class Target>
void CopyCopyingSettings(const Source& from, Target& to) {
    to.VortamoIP = from.VortamoIP;
    to.CopyFromPathList = from.CopyFromPathList;
    to.CopyToPath = from.CopyToPath;
    to.DeleteCopiedFiles = from.DeleteCopiedFiles;
    to.CopyRateLimit_MBperSEC = from.CopyRateLimit_MBperSEC;
    to.DefPeriodNumber = from.DefPeriodNumber;
}

// Whether `a` and `b` name another replay player or FIFO size.
template <class A, class B>
bool PlayerSettingsDiffer(const A& a, const B& b) {
    return a.FifoSizeMS != b.FifoSizeMS || a.PlayerRegName.compare(b.PlayerRegName, Qt::CaseSensitive) != 0;
}

inline SettingsDlgValues SettingsDlgValues::From(const AppSettings& settings) {
    SettingsDlgValues values;
    values.Port = settings.Port;
    CopyPlainSettings(settings, values);
    CopyPlayerSettings(settings, values);
    CopyCopyingSettings(settings, values);
    return values;
}

}  // namespace hv
