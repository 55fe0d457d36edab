#include <gtest/gtest.h>

#include <QString>

#include "platform/Guid.h"

namespace hv {
namespace {

TEST(Guid, ParsesOnlyTheBracedForm) {
    Guid g;
    ASSERT_TRUE(Guid::Parse("{0123abcd-4567-89ef-0123-456789ABCDEF}", g));
    EXPECT_EQ(g.ToString(), "{0123ABCD-4567-89EF-0123-456789ABCDEF}");
    EXPECT_FALSE(g.IsNull());

    const char* bad[] = {"", "0123abcd-4567-89ef-0123-456789abcdef",
                         "{0123abcd-4567-89ef-0123-456789abcde}", "{0123abcd-4567-89ef-0123-456789abcdeg}",
                         "{0123abcd+4567-89ef-0123-456789abcdef}", "{0123abcd-4567-89ef-0123-456789abcdef} "};
    for (const char* text : bad) {
        Guid out = g;
        EXPECT_FALSE(Guid::Parse(text, out)) << text;
        EXPECT_EQ(out, g) << "a failed parse leaves the output alone";
    }
    EXPECT_TRUE(Guid{}.IsNull());
}

}  // namespace
}  // namespace hv
