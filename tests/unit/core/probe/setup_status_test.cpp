#include "core/probe/setup_status.h"

#include <gtest/gtest.h>

#include "tests/doubles/temp_home.h"

namespace tessaway {
namespace {

struct FactsCase {
    const char* name;
    std::string body;
    std::optional<bool> claimed;
    std::optional<std::string> serverName;
    std::optional<bool> configured;
};

class SetupFactsTest : public ::testing::TestWithParam<FactsCase> {};

TEST_P(SetupFactsTest, TakesEachFactOnlyWithItsJsonType) {
    const SetupFacts facts = setupFacts(parseJsonObject(GetParam().body));
    EXPECT_EQ(facts.claimed, GetParam().claimed);
    EXPECT_EQ(facts.name, GetParam().serverName);
    EXPECT_EQ(facts.configured, GetParam().configured);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SetupFactsTest,
    ::testing::Values(
        FactsCase{"all_three", R"({"claimed":true,"server_name":"Den","configured":false})", true,
                  "Den", false},
        FactsCase{"mixed_object", R"({"claimed":true,"server_name":"","configured":"yes"})", true,
                  "", std::nullopt},
        FactsCase{"claimed_as_string", R"({"claimed":"true","server_name":"Den"})", std::nullopt,
                  "Den", std::nullopt},
        FactsCase{"numbers_are_not_booleans", R"({"claimed":1,"configured":0})", std::nullopt,
                  std::nullopt, std::nullopt},
        FactsCase{"name_not_a_string", R"({"server_name":42,"claimed":false})", false, std::nullopt,
                  std::nullopt},
        FactsCase{"null_values", R"({"claimed":null,"server_name":null})", std::nullopt,
                  std::nullopt, std::nullopt},
        FactsCase{"other_keys_ignored", R"({"x":1,"configured":true})", std::nullopt, std::nullopt,
                  true},
        FactsCase{"array", R"([{"claimed":true}])", std::nullopt, std::nullopt, std::nullopt},
        FactsCase{"not_json", "<html>", std::nullopt, std::nullopt, std::nullopt},
        FactsCase{"empty_body", "", std::nullopt, std::nullopt, std::nullopt},
        FactsCase{"bare_string", R"("claimed")", std::nullopt, std::nullopt, std::nullopt},
        FactsCase{"trailing_garbage", R"({"claimed":true} x)", std::nullopt, std::nullopt,
                  std::nullopt},
        FactsCase{"invalid_utf8_in_name", "{\"claimed\":true,\"server_name\":\"a\xFF\"}",
                  std::nullopt, std::nullopt, std::nullopt},
        FactsCase{"unicode_escape_name", R"({"server_name":"W\u00f6hnzimmer"})", std::nullopt,
                  "W\xC3\xB6hnzimmer", std::nullopt}),
    testing::CaseName());

TEST(SetupFactsDepthTest, DeeplyNestedBodyIsHandledWithoutCrashing) {
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    EXPECT_FALSE(parseJsonObject(deep).has_value());
    const std::string deepObject = "{\"a\":" + deep + ",\"claimed\":true}";
    EXPECT_EQ(setupFacts(parseJsonObject(deepObject)).claimed, std::optional<bool>(true));
}

}  // namespace
}  // namespace tessaway
