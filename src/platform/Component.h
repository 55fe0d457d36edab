#pragma once
// The suite's components (message queue, player list, replay player, score board time,
// suite registry, start-up component) are shared libraries installed apart from the
// program, each offering one or more classes by class id. A component object is a
// QObject; its interfaces are obtained with QueryInterface (a qobject_cast), which gives
// nothing when the object does not offer the interface.
//
// This header is all a component library needs from the program.

#include <QObject>
#include <QString>
#include <QtPlugin>
#include <memory>

namespace hv {

// Implemented by every component library (a Qt plugin).
class IComponentProvider {
public:
    virtual ~IComponentProvider() = default;
    // A new object of the class, or null when this library does not offer it.
    virtual QObject* CreateComponent(const QString& classId) = 0;
};

using ComponentPtr = std::unique_ptr<QObject>;

template <class Interface>
Interface* QueryInterface(QObject* component) {
    return qobject_cast<Interface*>(component);
}

}  // namespace hv

#define HV_COMPONENT_PROVIDER_IID "com.tervanix.halvane.IComponentProvider/1.0"
Q_DECLARE_INTERFACE(hv::IComponentProvider, HV_COMPONENT_PROVIDER_IID)
