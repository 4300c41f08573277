#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaway::platform {

/// One value of a property list (XML or binary), held in our own types: the reader converts
/// the whole tree once, so no caller deals with the library that parses it.
struct PropertyList {
    enum class Kind { other, boolean, integer, real, string, array, dictionary };
    struct Entry;

    Kind kind = Kind::other;  ///< other: data, dates and the kinds nothing here reads
    bool boolean = false;
    int64_t integer = 0;  ///< a stored negative number comes back negative
    double real = 0;
    std::string string;
    std::vector<PropertyList> array;
    std::vector<Entry> dictionary;  ///< in the order written

    static PropertyList ofBoolean(bool value);
    static PropertyList ofDictionary(std::vector<Entry> entries);
};

/// One key and its value in a dictionary.
struct PropertyList::Entry {
    std::string key;
    PropertyList value;
};

/// Parses an XML or binary property list held in memory. Empty when it is not one, or when it
/// is nested deeper or holds more values than any real property list does.
std::optional<PropertyList> parsePropertyList(std::string_view data);

/// Reads a property list file of a sensible size. Empty when it is missing, too large or damaged.
std::optional<PropertyList> readPropertyList(const std::string& path);

/// The XML form of `list`. Empty when it cannot be written.
std::string toXml(const PropertyList& list);

/// The value under `key` of a dictionary, or nullptr (also when `dict` is null or no dictionary).
const PropertyList* dictionaryItem(const PropertyList* dict, std::string_view key);

/// The text of a string value; empty for null or any other kind.
std::optional<std::string> stringValue(const PropertyList* node);

/// The value of a boolean; empty for null or any other kind.
std::optional<bool> booleanValue(const PropertyList* node);

}  // namespace tessaway::platform
