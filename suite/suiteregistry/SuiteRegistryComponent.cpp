// Stand-in for the suite's registry component. The suite keeps its configuration in the
// per-user settings of organisation "Tervanix": a key path "App\Group\Sub" names the
// settings of application "App" and the group "Group/Sub" inside them.

#include <QObject>
#include <QSettings>
#include <QStringList>
#include <memory>

#include "platform/Component.h"
#include "settings/SuiteRegistry.h"

namespace {

constexpr hv::HResult kErrorFileNotFound = static_cast<hv::HResult>(0x80070002u);

class SuiteRegistry final : public QObject, public hv::ISuiteRegistry {
    Q_OBJECT
    Q_INTERFACES(hv::ISuiteRegistry)

public:
    hv::HResult OpenKey(const QString& keyPath, std::uint32_t accessMask) override {
        settings_.reset();
        QStringList parts = keyPath.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
        if (parts.size() < 2) return kErrorFileNotFound;
        const QString application = parts.takeFirst();
        const QString group = parts.join(QLatin1Char('/'));
        auto settings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                                    QStringLiteral("Tervanix"), application);
        settings->setFallbacksEnabled(false);
        if (!settings->childGroups().contains(parts.first())) return kErrorFileNotFound;
        settings->beginGroup(group);
        if (settings->childKeys().isEmpty() && settings->childGroups().isEmpty())
            return kErrorFileNotFound;
        settings_ = std::move(settings);
        return hv::S_OK;
    }

    hv::HResult ReadString(const QString& name, QString& value) override {
        if (!settings_) return hv::E_FAIL;
        const QVariant stored = settings_->value(name);
        if (!stored.isValid()) return kErrorFileNotFound;
        value = stored.typeId() == QMetaType::QStringList
                    ? stored.toStringList().join(QLatin1Char(','))
                    : stored.toString();
        return hv::S_OK;
    }

private:
    std::unique_ptr<QSettings> settings_;
};

class SuiteRegistryProvider final : public QObject, public hv::IComponentProvider {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID HV_COMPONENT_PROVIDER_IID)
    Q_INTERFACES(hv::IComponentProvider)

public:
    QObject* CreateComponent(const QString& classId) override {
        if (classId == hv::kSuiteRegistryClass) return new SuiteRegistry;
        return nullptr;
    }
};

}  // namespace

#include "SuiteRegistryComponent.moc"
