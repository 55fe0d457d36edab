#include "platform/ComponentFactory.h"

#include <QCoreApplication>
#include <QDir>
#include <QPluginLoader>

namespace hv {

ComponentFactory::ComponentFactory(QString directory) : directory_(std::move(directory)) {}

ComponentFactory::~ComponentFactory() = default;

QString ComponentFactory::DefaultDirectory() {
    const QByteArray configured = qgetenv("HALVANE_COMPONENT_DIR");
    if (!configured.isEmpty()) return QString::fromLocal8Bit(configured);
    return QCoreApplication::applicationDirPath() + QStringLiteral("/components");
}

void ComponentFactory::LoadProviders() const {
    if (loaded_) return;
    loaded_ = true;
    const QDir dir(directory_);
    if (directory_.isEmpty() || !dir.exists()) return;
    for (const QString& file : dir.entryList(QDir::Files, QDir::Name)) {
        if (!QLibrary::isLibrary(file)) continue;
        // Loaded libraries stay loaded for the process, as Qt keeps plugin instances.
        QPluginLoader loader(dir.absoluteFilePath(file));
        if (auto* provider = qobject_cast<IComponentProvider*>(loader.instance()))
            providers_.push_back(provider);
    }
}

HResult ComponentFactory::Create(const QString& classId, ComponentPtr& out) const {
    out.reset();
    LoadProviders();
    for (IComponentProvider* provider : providers_) {
        if (QObject* object = provider->CreateComponent(classId)) {
            out.reset(object);
            return S_OK;
        }
    }
    return REGDB_E_CLASSNOTREG;
}

}  // namespace hv
