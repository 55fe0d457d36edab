#include "settings/AppSettings.h"

#include <QDir>
#include <array>

namespace hv {

QStringList AppSettings::SplitFolderList(const QString& list) {
    return list.split(QLatin1Char(';'), Qt::SkipEmptyParts);
}

QString AppSettings::JoinFolderList(const QStringList& folders) {
    QStringList kept;
    for (const QString& folder : folders)
        if (!folder.isEmpty()) kept.append(folder);
    return kept.join(QLatin1Char(';'));
}

QString WithTrailingSeparator(const QString& folder) {
    if (folder.size() <= 1) return folder;
    const QChar last = folder.back();
    if (last == QDir::separator() || last == QLatin1Char('/')) return folder;
    return folder + QDir::separator();
}

void NormalizeCopySettings(AppSettings& settings) {
    settings.CopyRateLimit_MBperSEC = kCopyRateLimitRange.Clamp(settings.CopyRateLimit_MBperSEC);
    settings.DefPeriodNumber = kDefPeriodNumberRange.Clamp(settings.DefPeriodNumber);
    settings.CopyToPath = WithTrailingSeparator(settings.CopyToPath);
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
