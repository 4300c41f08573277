#include "launchctl/target.h"

#include <gtest/gtest.h>

#include "tests/doubles/temp_home.h"

namespace tessaway::launchd {
namespace {

struct TargetCase {
    std::string name;
    std::string text;
    bool valid;
    unsigned long uid;
    std::string label;
};

class TargetTest : public ::testing::TestWithParam<TargetCase> {};

TEST_P(TargetTest, Parses) {
    const auto& c = GetParam();
    const auto target = parseTarget(c.text);
    ASSERT_EQ(target.has_value(), c.valid);
    if (!c.valid) return;
    EXPECT_EQ(target->uid, c.uid);
    EXPECT_EQ(target->label, c.label);
    EXPECT_EQ(target->isService(), !c.label.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TargetTest,
    ::testing::Values(TargetCase{"Domain", "gui/501", true, 501, ""},
                      TargetCase{"Service", "gui/501/com.quorvel.x", true, 501, "com.quorvel.x"},
                      TargetCase{"LabelWithSlash", "gui/0/a/b", true, 0, "a/b"},
                      TargetCase{"LargestUid", "gui/4294967295", true, 4294967295ul, ""},
                      TargetCase{"UidTooLarge", "gui/4294967296", false, 0, ""},
                      TargetCase{"UidTooLong", "gui/00000000001", false, 0, ""},
                      TargetCase{"EmptyLabel", "gui/501/", false, 0, ""},
                      TargetCase{"NoUid", "gui/", false, 0, ""},
                      TargetCase{"NoUidWithLabel", "gui//x", false, 0, ""},
                      TargetCase{"SignedUid", "gui/-1", false, 0, ""},
                      TargetCase{"NamedUser", "gui/me/x", false, 0, ""},
                      TargetCase{"UserDomain", "user/501/x", false, 0, ""},
                      TargetCase{"SystemDomain", "system/x", false, 0, ""},
                      TargetCase{"BareGui", "gui", false, 0, ""},
                      TargetCase{"Empty", "", false, 0, ""}),
    testing::CaseName());

}  // namespace
}  // namespace tessaway::launchd
