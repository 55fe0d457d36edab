#pragma once
// AppSettings: the program's persistent settings, held by the main frame. Every stored
// value's name and default are given once, here: the defaults as member initialisers,
// the names in StoredSettingKeys(). Load and save walk that one list.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <span>
#include <variant>

namespace hv {

struct AppSettings {
    // Stored in the "Settings" group of the program's settings, in this order.
    std::int32_t Port = 1025;               // Crestron listening port (see ListenPort)
    std::int32_t FifoSizeMS = 300;          // replay player buffer length, ms
    QString PlayerRegName;                  // registry name of the replay player to use
    bool UseGameTime = true;                // label times from the score-board clock
    std::int32_t Preroll = 5;               // seconds a label playback starts ahead
    QString VortamoIP;                      // recorder's computer; empty = this computer
    QString CopyToPath;                     // video archive root; empty = no copying
    QString CopyFromPathList;               // recorder root folders joined by ";"
    bool DeleteCopiedFiles = false;         // delete sources once copied
    std::int32_t CopyRateLimit_MBperSEC = 10;  // copy rate limit, MiB/s (see CopyRateLimitMBps)
    std::int32_t DefPeriodNumber = 50;      // period number of the recording before the game

    // The start-on-logon entry; not in the "Settings" group.
    bool Autostart = false;

    // Derived at load, never stored.
    QString SetupPath;         // the suite's install folder, no trailing separator
    QString VortamoExePath;
    QString TamberloExePath;
    QString DravenorExePath;
    QString OstrimundExePath;

    // The port the Crestron listener opens: the stored value as a 16-bit port, so a
    // hand-stored value above 65535 is taken modulo 65536.
    std::uint16_t ListenPort() const { return static_cast<std::uint16_t>(Port); }
    // The copy rate limit to divide by: never below 1 MiB/s, whatever was stored.
    std::int32_t CopyRateLimitMBps() const {
        return CopyRateLimit_MBperSEC < 1 ? 1 : CopyRateLimit_MBperSEC;
    }
    // Brings hand-stored values into their ranges (the rate limit 1 to 99 MiB/s, the period
    // number before the game 0 to 999) and makes the archive root end with a separator, so
    // that readers on any thread see one settled value.
    void NormaliseCopySettings();

    // CopyFromPathList split at every ";", empty pieces skipped, order kept.
    QStringList CopyFromFolders() const { return SplitFolderList(CopyFromPathList); }

    static QStringList SplitFolderList(const QString& list);
    static QString JoinFolderList(const QStringList& folders);
};

// The ranges the settings dialog allows; what it shows and saves lies within them.
struct SettingRange {
    std::int32_t Min;
    std::int32_t Max;
    constexpr std::int32_t Clamp(std::int32_t value) const {
        return value < Min ? Min : (value > Max ? Max : value);
    }
};
inline constexpr SettingRange kPortRange{1, 65535};
inline constexpr SettingRange kPrerollRange{0, 99};
inline constexpr SettingRange kCopyRateLimitRange{1, 99};
inline constexpr SettingRange kDefPeriodNumberRange{0, 999};
// The FIFO sizes the dialog offers, in ms, in the order shown.
inline constexpr std::int32_t kFifoSizesMs[] = {100, 200, 300, 500, 800, 1000};

// One stored value: its name and the field that holds it.
struct StoredSettingKey {
    const char* Name;
    std::variant<std::int32_t AppSettings::*, bool AppSettings::*, QString AppSettings::*> Field;
};

// The stored values, in the order they are read and written.
std::span<const StoredSettingKey> StoredSettingKeys();

}  // namespace hv
