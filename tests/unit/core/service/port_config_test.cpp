#include "core/service/port_config.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include "core/identity.h"
#include "tests/doubles/temp_home.h"

namespace tessaway {
namespace {

struct PortCase {
    const char* name;
    std::string definition;
    int64_t expected;
};

std::string deepArrays(int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i)
        text += "<array>";
    for (int i = 0; i < depth; ++i)
        text += "</array>";
    return text;
}

class ServerPortTest : public testing::HomeTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(ServerPortTest, ReadsTheInstalledDefinition) {
    testing::writeFile(serverPlist, GetParam().definition);
    EXPECT_EQ(serverPort(), GetParam().expected);
}

PortCase port(const char* name, const std::string& element, int64_t expected) {
    return {name, testing::serverDefinitionXml(element), expected};
}

INSTANTIATE_TEST_SUITE_P(
    Table, ServerPortTest,
    ::testing::Values(
        port("text", "<string>8123</string>", 8123),
        port("integer", "<integer>8123</integer>", 8123),
        port("plus_sign", "<string>+8123</string>", 8123),
        port("negative_text", "<string>-5</string>", -5),
        port("out_of_range_text", "<string>70000</string>", 70000),
        port("int64_max", "<string>9223372036854775807</string>", INT64_MAX),
        port("int64_min", "<string>-9223372036854775808</string>", INT64_MIN),
        port("empty_text", "<string></string>", 8011),
        port("space_before", "<string> 8123</string>", 8011),
        port("space_after", "<string>8123 </string>", 8011),
        port("digits_then_letters", "<string>8123abc</string>", 8011),
        port("lone_plus", "<string>+</string>", 8011),
        port("lone_minus", "<string>-</string>", 8011),
        port("two_signs", "<string>+-5</string>", 8011),
        port("too_large_for_64_bits", "<string>9223372036854775808</string>", 8011),
        port("hex_text", "<string>0x1f</string>", 8011),
        port("real_with_fraction", "<real>8123.5</real>", 8011),
        port("date", "<date>2026-01-01T00:00:00Z</date>", 8011),
        port("array", "<array><string>8123</string></array>", 8011),
        port("boolean", "<true/>", 8011),
        PortCase{
            "no_port_key",
            "<plist version=\"1.0\"><dict><key>EnvironmentVariables</key><dict/></dict></plist>",
            8011},
        PortCase{"environment_not_a_dictionary",
                 "<plist version=\"1.0\"><dict><key>EnvironmentVariables</key>"
                 "<string>TESSAWAY_PORT=8123</string></dict></plist>",
                 8011},
        PortCase{"top_level_array",
                 "<plist version=\"1.0\"><array><string>8123</string></array></plist>", 8011},
        PortCase{"empty_file", "", 8011},
        PortCase{"binary_garbage", "bplist00\xff\x01\x02garbage", 8011},
        PortCase{"truncated_xml",
                 testing::serverDefinitionXml("<string>8123</string>").substr(0, 150), 8011},
        PortCase{"not_a_plist", "hello, world\n", 8011},
        // libplist cannot represent a 0 byte inside a string; such a value is no port.
        port("zero_byte_inside_text",
             std::string("<string>80\0"
                         "1</string>",
                         19),
             8011),
        port("zero_byte_as_reference", "<string>80&#0;1</string>", 8011),
        // Nesting beyond any real definition is refused before it can exhaust the stack.
        port("nested_far_too_deep", "<string>8123</string><key>x</key>" + deepArrays(60000), 8011),
        port("nested_a_little", "<string>8123</string><key>x</key>" + deepArrays(20), 8123)),
    testing::CaseName());

TEST_F(ServerPortTest, NoDefinitionGivesTheDefault) {
    EXPECT_EQ(serverPort(), 8011);
}

TEST_F(ServerPortTest, ReadsABinaryPropertyList) {
    plist_t root = plist_new_dict();
    plist_t env = plist_new_dict();
    plist_dict_set_item(env, "TESSAWAY_PORT", plist_new_string("8124"));
    plist_dict_set_item(root, "EnvironmentVariables", env);
    char* data = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &data, &length);
    testing::writeFile(serverPlist, std::string(data, length));
    plist_to_bin_free(data);
    plist_free(root);
    EXPECT_EQ(serverPort(), 8124);
}

TEST_F(ServerPortTest, AHugeDefinitionIsRejectedWithoutCrashing) {
    std::string huge = testing::serverDefinitionXml("<string>8123</string>");
    huge.insert(huge.find("<dict>") + 6, std::string(20 << 20, ' '));
    testing::writeFile(serverPlist, huge);
    EXPECT_EQ(serverPort(), 8011);
}

using testing::Listener;

bool ipv6LoopbackExists() {
    return Listener(0, AF_INET6).ok();
}

class PortIsFreeTest : public ::testing::TestWithParam<int> {};

// A program on either loopback address would answer the browser in the server's place.
TEST_P(PortIsFreeTest, BusyWhileSomeoneListensOnALoopbackAddressAndReleasedAfterTheProbe) {
    if (GetParam() == AF_INET6 && !ipv6LoopbackExists()) GTEST_SKIP() << "no IPv6 loopback";
    // Find a port nobody uses, probe it twice (the probe must release it), then occupy it.
    int64_t port = 0;
    for (int64_t p = 18011; p < 18100 && port == 0; ++p) {
        if (portIsFree(p)) port = p;
    }
    ASSERT_NE(port, 0);
    EXPECT_TRUE(portIsFree(port));
    Listener listener(port, GetParam());
    ASSERT_TRUE(listener.ok());
    EXPECT_FALSE(portIsFree(port));
}

INSTANTIATE_TEST_SUITE_P(Family, PortIsFreeTest, ::testing::Values(AF_INET, AF_INET6),
                         [](const auto& row) {
                             return std::string(row.param == AF_INET ? "ipv4" : "ipv6_only");
                         });

TEST(FreePortTest, SkipsABusyDefaultPort) {
    const Listener busy(8011, AF_INET, testing::kPortWaitSeconds);
    ASSERT_TRUE(busy.ok()) << "another program held 8011 for " << testing::kPortWaitSeconds
                           << " seconds";
    const int64_t port = freePort().value_or(0);
    EXPECT_GT(port, 8011);
    EXPECT_LE(port, 8099);
    EXPECT_TRUE(portIsFree(port));
}

}  // namespace
}  // namespace tessaway
