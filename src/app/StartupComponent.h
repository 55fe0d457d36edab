#pragma once
// The suite's start-up component: called once when Halvane starts (with 0, 2 and 0) and
// once when it ends. Neither result is used.

#include <QString>
#include <cstdint>

#include "platform/Component.h"
#include "platform/ResultCodes.h"

namespace hv {

inline const QString kStartupComponentClass = QStringLiteral("Zandrel.Startup");

class IStartupComponent {
public:
    virtual ~IStartupComponent() = default;
    virtual HResult Begin(std::int32_t first, std::int32_t second, std::int32_t third) = 0;
    virtual HResult End() = 0;
};

}  // namespace hv

Q_DECLARE_INTERFACE(hv::IStartupComponent, "com.tervanix.zandrel.IStartupComponent/1.0")
