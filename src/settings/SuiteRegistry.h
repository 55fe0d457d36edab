#pragma once
// The suite's registry component, as the settings use it: open a key of the suite's
// configuration, then read a string value from it.

#include <QObject>
#include <QString>
#include <cstdint>

#include "platform/Component.h"
#include "platform/ResultCodes.h"

namespace hv {

inline const QString kSuiteRegistryClass = QStringLiteral("Zandrel.SuiteRegistry");

constexpr std::uint32_t KEY_READ = 0x20019;

class ISuiteRegistry {
public:
    virtual ~ISuiteRegistry() = default;
    // Opens `keyPath` (relative to the suite's root, parts separated by backslashes) for
    // the later reads. 0 when the key was opened.
    virtual HResult OpenKey(const QString& keyPath, std::uint32_t accessMask) = 0;
    // Reads the string value `name` of the open key. 0 with the text in `value`.
    virtual HResult ReadString(const QString& name, QString& value) = 0;
};

}  // namespace hv

Q_DECLARE_INTERFACE(hv::ISuiteRegistry, "com.tervanix.zandrel.ISuiteRegistry/1.0")
