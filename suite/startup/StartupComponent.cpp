// Stand-in for the suite's start-up component: it notes the two calls in the trace
// output (standard error) and does nothing else.
#include <QObject>
#include <cstdio>

#include "app/StartupComponent.h"

namespace {

class Startup final : public QObject, public hv::IStartupComponent {
    Q_OBJECT
    Q_INTERFACES(hv::IStartupComponent)
public:
    hv::HResult Begin(std::int32_t first, std::int32_t second, std::int32_t third) override {
        std::fprintf(stderr, "Zandrel.Startup: begin %d %d %d\n", first, second, third);
        return hv::S_OK;
    }
    hv::HResult End() override {
        std::fprintf(stderr, "Zandrel.Startup: end\n");
        return hv::S_OK;
    }
};

class StartupProvider final : public QObject, public hv::IComponentProvider {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID HV_COMPONENT_PROVIDER_IID)
    Q_INTERFACES(hv::IComponentProvider)
public:
    QObject* CreateComponent(const QString& classId) override {
        return classId == hv::kStartupComponentClass ? new Startup : nullptr;
    }
};

}  // namespace

#include "StartupComponent.moc"
