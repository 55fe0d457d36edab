#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include "app/StartupComponent.h"
#include "platform/ComponentFactory.h"

namespace hv {
namespace {

TEST(ComponentFactory, CreatesInstalledClassesAndReportsMissingOnes) {
    const ComponentFactory installed(QCoreApplication::applicationDirPath() + "/components");
    ComponentPtr object;
    ASSERT_EQ(installed.Create(kStartupComponentClass, object), S_OK);
    ASSERT_NE(object, nullptr);
    EXPECT_NE(QueryInterface<IStartupComponent>(object.get()), nullptr);

    EXPECT_EQ(installed.Create("Zandrel.NoSuchClass", object), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);

    QTemporaryDir empty;
    const ComponentFactory none(empty.path());
    IStartupComponent* startup = nullptr;
    EXPECT_EQ(none.CreateFor(kStartupComponentClass, startup), nullptr);
    EXPECT_EQ(startup, nullptr);
}

}  // namespace
}  // namespace hv
