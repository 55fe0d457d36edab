#include "settings/AppSettings.h"

#include <array>

#include "platform/FileSystem.h"

namespace hv {

QStringList AppSettings::SplitFolderList(const QString& list) {
    return list.split(QLatin1Char(';'), Qt::SkipEmptyParts);
}

void AppSettings::NormaliseCopySettings() {
    CopyRateLimit_MBperSEC = kCopyRateLimitRange.Clamp(CopyRateLimit_MBperSEC);
    DefPeriodNumber = kDefPeriodNumberRange.Clamp(DefPeriodNumber);
    CopyToPath = fs::WithTrailingSeparator(CopyToPath);
}

QString AppSettings::JoinFolderList(const QStringList& folders) {
    QStringList kept;
    for (const QString& folder : folders)
        if (!folder.isEmpty()) kept.append(folder);
    return kept.join(QLatin1Char(';'));
}

std::span<const StoredSettingKey> StoredSettingKeys() {
    static const std::array<StoredSettingKey, 11> keys{{
        {"Port", &AppSettings::Port},
        {"FifoSizeMS", &AppSettings::FifoSizeMS},
        {"PlayerRegName", &AppSettings::PlayerRegName},
        {"UseGameTime", &AppSettings::UseGameTime},
        {"Preroll", &AppSettings::Preroll},
        {"VortamoIP", &AppSettings::VortamoIP},
        {"CopyToPath", &AppSettings::CopyToPath},
        {"CopyFromPathList", &AppSettings::CopyFromPathList},
        {"DeleteCopiedFiles", &AppSettings::DeleteCopiedFiles},
        {"CopyRateLimit_MBperSEC", &AppSettings::CopyRateLimit_MBperSEC},
        {"DefPeriodNumber", &AppSettings::DefPeriodNumber},
    }};
    return keys;
}

}  // namespace hv
