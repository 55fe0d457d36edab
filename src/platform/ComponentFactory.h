#pragma once
// Creates the suite's components by class id from the component libraries installed in
// one folder. A class that no installed library offers is "not installed": creation
// then fails with REGDB_E_CLASSNOTREG and gives nothing.

#include <QString>
#include <vector>

#include "platform/Component.h"
#include "platform/ResultCodes.h"

class QPluginLoader;

namespace hv {

class ComponentFactory {
public:
    // `directory`: the folder of installed component libraries.
    explicit ComponentFactory(QString directory);
    ~ComponentFactory();
    ComponentFactory(const ComponentFactory&) = delete;
    ComponentFactory& operator=(const ComponentFactory&) = delete;

    // "components" next to the executable, unless HALVANE_COMPONENT_DIR names another.
    static QString DefaultDirectory();

    HResult Create(const QString& classId, ComponentPtr& out) const;
    // Create, then keep the object only if it offers Interface.
    template <class Interface>
    ComponentPtr CreateFor(const QString& classId, Interface*& interface) const {
        ComponentPtr object;
        interface = nullptr;
        if (Create(classId, object) != S_OK) return nullptr;
        interface = QueryInterface<Interface>(object.get());
        if (interface == nullptr) return nullptr;
        return object;
    }

    const QString& Directory() const { return directory_; }

private:
    void LoadProviders() const;

    QString directory_;
    mutable bool loaded_ = false;
    mutable std::vector<IComponentProvider*> providers_;
};

}  // namespace hv
