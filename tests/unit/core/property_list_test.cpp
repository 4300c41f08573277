#include "platform/property_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/doubles/temp_home.h"

namespace tessaway::platform {
namespace {

std::string bigEndian(uint64_t value, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

/// A marker of `type` with its count, as the binary format writes it.
std::string counted(unsigned type, uint64_t count) {
    if (count < 15) return std::string(1, static_cast<char>(type << 4 | count));
    return std::string(1, static_cast<char>(type << 4 | 0xF)) + "\x13" + bigEndian(count, 8);
}

std::string ascii(size_t size) {
    return counted(0x5, size) + std::string(size, 'a');
}
std::string utf16(size_t units) {
    std::string text;
    for (size_t i = 0; i < units; ++i)
        text += std::string("\0a", 2);
    return counted(0x6, units) + text;
}
std::string data(size_t size) {
    return counted(0x4, size) + std::string(size, 'd');
}
/// An array of `count` references to object `ref`.
std::string array(size_t count, uint64_t ref) {
    std::string out = counted(0xA, count);
    for (size_t i = 0; i < count; ++i)
        out += bigEndian(ref, 2);
    return out;
}

/// A binary property list of `objects`, the first at the top, references two bytes wide.
std::string binaryList(const std::vector<std::string>& objects) {
    std::string out = "bplist00";
    std::vector<uint64_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(out.size());
        out += object;
    }
    const uint64_t table = out.size();
    for (const uint64_t offset : offsets)
        out += bigEndian(offset, 4);
    out += std::string(6, '\0') + "\x04\x02";
    return out + bigEndian(objects.size(), 8) + bigEndian(0, 8) + bigEndian(table, 8);
}

/// Arrays that each refer twice to the next, `levels` deep, over one string of `size` bytes.
std::vector<std::string> doubling(int levels, size_t size) {
    std::vector<std::string> objects;
    for (int level = 0; level < levels; ++level)
        objects.push_back(array(2, static_cast<uint64_t>(level + 1)));
    objects.push_back(ascii(size));
    return objects;
}

struct AmplifyCase {
    const char* name;
    std::vector<std::string> objects;
    bool accepted;
};

class AmplifiedListTest : public ::testing::TestWithParam<AmplifyCase> {};

// A reference is copied for every use when the tree is built: what a list expands to is
// bounded in bytes, not only in nodes, before anything is built.
TEST_P(AmplifiedListTest, IsRefusedBeforeItIsBuilt) {
    const std::string file = binaryList(GetParam().objects);
    ASSERT_LE(file.size(), size_t{1} << 20) << "within the file size limit";
    const auto list = parsePropertyList(file);
    ASSERT_EQ(list.has_value(), GetParam().accepted);
    if (list) {
        EXPECT_EQ(list->kind, PropertyList::Kind::array);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, AmplifiedListTest,
    ::testing::Values(
        AmplifyCase{"long_string_once", {array(1, 1), ascii(700 << 10)}, true},
        AmplifyCase{"long_string_eight_times", {array(8, 1), ascii(700 << 10)}, false},
        AmplifyCase{"kilobyte_string_3000_times", {array(3000, 1), ascii(1024)}, true},
        AmplifyCase{"kilobyte_string_5000_times", {array(5000, 1), ascii(1024)}, false},
        AmplifyCase{"utf16_counts_as_its_longest_utf8", {array(1500, 1), utf16(1024)}, false},
        AmplifyCase{"data_fifty_times", {array(50, 1), data(100 << 10)}, false},
        AmplifyCase{"shared_arrays_few_nodes_many_bytes", doubling(12, 2048), false},
        AmplifyCase{"shared_arrays_small", doubling(6, 2048), true}),
    testing::CaseName());

}  // namespace
}  // namespace tessaway::platform
