#include "platform/property_list.h"

#include <plist/plist.h>
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "platform/file_read.h"

namespace tessaway::platform {
namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
/// An owned libplist tree; it never leaves this file.
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Agent definitions and bundle manifests are a few kilobytes; anything far larger is damage.
constexpr size_t kMaxPropertyListBytes = 1 << 20;
// Real property lists nest a handful of levels. libplist builds, copies and frees its trees
// recursively, so a deeper one could exhaust the stack.
constexpr size_t kMaxDepth = 128;
// A binary list may refer to one object many times; libplist copies it for every reference,
// so a small file could otherwise expand into billions of nodes, or repeat one long string
// until memory runs out. Both are bounded before the tree is built: the number of nodes, and
// the bytes the expanded tree holds (what its strings and data take, plus a share for each
// node). A file within the size limit that refers to each object once stays well within both.
constexpr uint64_t kMaxNodes = 1 << 18;
constexpr uint64_t kMaxExpandedBytes = 4 << 20;
constexpr uint64_t kNodeBytes = 16;

uint64_t bigEndian(const unsigned char* bytes, size_t size) {
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

/// The structure of a binary property list, checked before libplist builds a tree from it:
/// every object lies inside the file, references form no cycle, nesting and the expanded tree
/// (in nodes and in bytes) stay within the limits, and no string holds a 0 byte (libplist
/// cannot represent one).
class BinaryCheck {
public:
    explicit BinaryCheck(std::string_view data)
        : bytes_(reinterpret_cast<const unsigned char*>(data.data())), size_(data.size()) {}

    bool sane() {
        constexpr size_t kHeader = 8;
        constexpr size_t kTrailer = 32;
        if (size_ < kHeader + kTrailer) return false;
        const unsigned char* trailer = bytes_ + size_ - kTrailer;
        offsetSize_ = trailer[6];
        refSize_ = trailer[7];
        const uint64_t count = bigEndian(trailer + 8, 8);
        const uint64_t top = bigEndian(trailer + 16, 8);
        const uint64_t table = bigEndian(trailer + 24, 8);
        end_ = size_ - kTrailer;
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
        if (count == 0 || top >= count || table < kHeader || table > end_) return false;
        if (count > (end_ - table) / offsetSize_) return false;
        table_ = static_cast<size_t>(table);
        objects_.assign(static_cast<size_t>(count), Object{});
        return walk(static_cast<size_t>(top));
    }

private:
    struct Object {
        enum State : unsigned char { unseen, open, done } state = unseen;
        uint32_t depth = 0;
        uint64_t nodes = 0;
        uint64_t bytes = 0;  ///< in the expanded tree, this object and all it refers to
    };

    /// Where the object's children are listed and how many references there are; for any
    /// object, the bytes its own value takes once expanded.
    struct Children {
        size_t first = 0;
        uint64_t refs = 0;
        uint64_t bytes = 0;
    };

    std::optional<size_t> offsetOf(size_t index) const {
        const uint64_t offset = bigEndian(bytes_ + table_ + index * offsetSize_, offsetSize_);
        if (offset < 8 || offset >= table_) return std::nullopt;
        return static_cast<size_t>(offset);
    }

    /// The length that follows a marker whose low nibble is 0xF; `at` moves past it.
    std::optional<uint64_t> extendedCount(size_t& at) const {
        if (at >= end_) return std::nullopt;
        const unsigned char marker = bytes_[at];
        if ((marker >> 4) != 0x1 || (marker & 0xF) > 3) return std::nullopt;
        const size_t width = size_t{1} << (marker & 0xF);
        if (width > end_ - at - 1) return std::nullopt;
        const uint64_t count = bigEndian(bytes_ + at + 1, width);
        at += 1 + width;
        return count;
    }

    /// Checks one object on its own; fills `children` (for containers, and the bytes of the
    /// value itself for every object).
    bool inspect(size_t index, Children& children) const {
        const auto offset = offsetOf(index);
        if (!offset) return false;
        size_t at = *offset;
        const unsigned char marker = bytes_[at++];
        const unsigned type = marker >> 4;
        uint64_t count = marker & 0xF;
        const bool counted = type == 0x4 || type == 0x5 || type == 0x6 || type == 0x7 ||
                             (type >= 0xA && type <= 0xD);
        if (counted && count == 0xF) {
            const auto extended = extendedCount(at);
            if (!extended) return false;
            count = *extended;
        }
        const size_t room = end_ - at;
        switch (type) {
            case 0x5:  // ASCII string
            case 0x7:  // UTF-8 string
                if (count > room) return false;
                children.bytes = count;
                return std::memchr(bytes_ + at, 0, static_cast<size_t>(count)) == nullptr;
            case 0x6:  // UTF-16 string
                if (count > room / 2) return false;
                // Each unit becomes up to three bytes of UTF-8.
                children.bytes = 3 * count;
                for (uint64_t i = 0; i < count; ++i) {
                    if (bytes_[at + 2 * i] == 0 && bytes_[at + 2 * i + 1] == 0) return false;
                }
                return true;
            case 0x4:  // data
                children.bytes = count;
                return count <= room;
            case 0xA:
            case 0xB:
            case 0xC:
            case 0xD: {
                const uint64_t refs = type == 0xD ? 2 * count : count;
                if (count > room || refs > room / refSize_) return false;
                children = {at, refs, 0};
                return true;
            }
            default:
                return true;
        }
    }

    /// Depth-first over the references without recursion; every object is inspected once.
    bool walk(size_t top) {
        struct Frame {
            size_t index;
            Children children;
            uint64_t next = 0;
        };
        std::vector<Frame> stack;
        const auto enter = [&](size_t index) {
            Object& object = objects_[index];
            if (object.state == Object::open) return false;  // a cycle
            if (object.state == Object::done) return true;
            if (stack.size() >= kMaxDepth) return false;
            Children children;
            if (!inspect(index, children)) return false;
            object.state = Object::open;
            stack.push_back({index, children});
            return true;
        };
        if (!enter(top)) return false;
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.next < frame.children.refs) {
                const size_t at = frame.children.first + frame.next * refSize_;
                ++frame.next;
                const uint64_t child = bigEndian(bytes_ + at, refSize_);
                if (child >= objects_.size()) return false;
                if (!enter(static_cast<size_t>(child))) return false;
                continue;
            }
            // All children are done: total this object's expanded size and depth.
            Object& object = objects_[frame.index];
            uint64_t nodes = 1;
            uint64_t bytes = kNodeBytes + frame.children.bytes;
            uint32_t depth = 1;
            for (uint64_t i = 0; i < frame.children.refs; ++i) {
                const size_t at = frame.children.first + i * refSize_;
                const Object& child =
                    objects_[static_cast<size_t>(bigEndian(bytes_ + at, refSize_))];
                nodes += child.nodes;
                bytes += child.bytes;
                depth = std::max<uint32_t>(depth, child.depth + 1);
                if (nodes > kMaxNodes || bytes > kMaxExpandedBytes) return false;
            }
            if (depth > kMaxDepth || bytes > kMaxExpandedBytes) return false;
            object.nodes = nodes;
            object.bytes = bytes;
            object.depth = depth;
            object.state = Object::done;
            stack.pop_back();
        }
        return true;
    }

    const unsigned char* bytes_;
    size_t size_;
    size_t end_ = 0;
    size_t table_ = 0;
    size_t offsetSize_ = 0;
    size_t refSize_ = 0;
    std::vector<Object> objects_;
};

/// How deep the elements of an XML property list nest, counted from its tags, or nothing once
/// it passes the limit. Comments, processing instructions, declarations and character data
/// sections hold no elements.
bool xmlNestingWithinLimit(std::string_view text) {
    size_t depth = 0;
    size_t at = 0;
    const auto skipPast = [&](std::string_view from, std::string_view to) {
        if (text.compare(at, from.size(), from) != 0) return false;
        const size_t close = text.find(to, at + from.size());
        at = close == std::string_view::npos ? text.size() : close + to.size();
        return true;
    };
    while ((at = text.find('<', at)) != std::string_view::npos) {
        if (skipPast("<!--", "-->") || skipPast("<![CDATA[", "]]>") || skipPast("<?", "?>") ||
            skipPast("<!", ">")) {
            continue;
        }
        const size_t close = text.find('>', at);
        const bool ending = at + 1 < text.size() && text[at + 1] == '/';
        const bool empty = close != std::string_view::npos && text[close - 1] == '/';
        if (ending) {
            if (depth > 0) --depth;
        } else if (!empty && ++depth > kMaxDepth) {
            return false;
        }
        if (close == std::string_view::npos) break;
        at = close + 1;
    }
    return true;
}

/// Frees a tree that turned out deeper than the limit. libplist frees recursively, so this
/// happens on a thread whose stack can take the deepest tree a file within the size limit
/// can describe.
void freeDeepTree(plist_t root) {
    pthread_attr_t attributes;
    pthread_t thread;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, size_t{512} << 20);
    const auto run = [](void* node) -> void* {
        plist_free(static_cast<plist_t>(node));
        return nullptr;
    };
    if (pthread_create(&thread, &attributes, run, root) == 0) {
        pthread_join(thread, nullptr);
    }
    // Without a thread the tree is left allocated: a leak is better than a crash.
    pthread_attr_destroy(&attributes);
}

/// Checks a built tree without recursion: depth and size within the limits, and no string
/// that libplist would mis-handle.
bool treeWithinLimits(plist_t root) {
    std::vector<std::pair<plist_t, size_t>> pending{{root, 1}};
    uint64_t nodes = 0;
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        if (depth > kMaxDepth || ++nodes > kMaxNodes) return false;
        switch (plist_get_node_type(node)) {
            case PLIST_STRING: {
                uint64_t length = 0;
                const char* text = plist_get_string_ptr(node, &length);
                if (text == nullptr || std::memchr(text, 0, length) != nullptr) return false;
                break;
            }
            case PLIST_ARRAY: {
                const uint32_t count = plist_array_get_size(node);
                for (uint32_t i = 0; i < count; ++i)
                    pending.emplace_back(plist_array_get_item(node, i), depth + 1);
                break;
            }
            case PLIST_DICT: {
                plist_dict_iter iter = nullptr;
                plist_dict_new_iter(node, &iter);
                if (iter == nullptr) return false;
                for (;;) {
                    plist_t value = nullptr;
                    // No key text is asked for: a key is checked as the string it was read as.
                    plist_dict_next_item(node, iter, nullptr, &value);
                    if (value == nullptr) break;
                    pending.emplace_back(value, depth + 1);
                }
                std::free(iter);
                break;
            }
            default:
                break;
        }
    }
    return true;
}

/// Our own copy of a tree that treeWithinLimits() has passed, so the recursion is bounded.
PropertyList convert(plist_t node) {
    PropertyList value;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t flag = 0;
            plist_get_bool_val(node, &flag);
            value.kind = PropertyList::Kind::boolean;
            value.boolean = flag != 0;
            break;
        }
        case PLIST_UINT: {
            uint64_t number = 0;
            plist_get_uint_val(node, &number);
            value.kind = PropertyList::Kind::integer;
            // Negative integers are kept as their two's complement bits.
            value.integer = static_cast<int64_t>(number);
            break;
        }
        case PLIST_REAL:
            value.kind = PropertyList::Kind::real;
            plist_get_real_val(node, &value.real);
            break;
        case PLIST_STRING: {
            uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            value.kind = PropertyList::Kind::string;
            if (text != nullptr) value.string.assign(text, length);
            break;
        }
        case PLIST_ARRAY: {
            value.kind = PropertyList::Kind::array;
            const uint32_t count = plist_array_get_size(node);
            value.array.reserve(count);
            for (uint32_t i = 0; i < count; ++i)
                value.array.push_back(convert(plist_array_get_item(node, i)));
            break;
        }
        case PLIST_DICT: {
            value.kind = PropertyList::Kind::dictionary;
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            if (iter == nullptr) break;
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, iter, &key, &item);
                if (key == nullptr) break;
                if (item != nullptr) value.dictionary.push_back({key, convert(item)});
                std::free(key);
            }
            std::free(iter);
            break;
        }
        default:
            break;
    }
    return value;
}

/// A libplist tree of `value`, for writing; null for a value of another kind.
plist_t toNode(const PropertyList& value) {
    switch (value.kind) {
        case PropertyList::Kind::boolean:
            return plist_new_bool(value.boolean ? 1 : 0);
        case PropertyList::Kind::integer:
            return plist_new_uint(static_cast<uint64_t>(value.integer));
        case PropertyList::Kind::real:
            return plist_new_real(value.real);
        case PropertyList::Kind::string:
            return plist_new_string(value.string.c_str());
        case PropertyList::Kind::array: {
            plist_t array = plist_new_array();
            for (const auto& item : value.array) {
                if (plist_t node = toNode(item)) plist_array_append_item(array, node);
            }
            return array;
        }
        case PropertyList::Kind::dictionary: {
            plist_t dict = plist_new_dict();
            for (const auto& [key, item] : value.dictionary) {
                if (plist_t node = toNode(item)) plist_dict_set_item(dict, key.c_str(), node);
            }
            return dict;
        }
        case PropertyList::Kind::other:
            break;
    }
    return nullptr;
}

PlistPtr parseTree(std::string_view data) {
    if (data.empty() || data.size() > std::numeric_limits<uint32_t>::max()) return nullptr;
    plist_t root = nullptr;
    const auto length = static_cast<uint32_t>(data.size());
    if (plist_is_binary(data.data(), length)) {
        if (!BinaryCheck(data).sane()) return nullptr;
        plist_from_bin(data.data(), length, &root);
    } else {
        // A 0 byte cannot be part of a well-formed XML document, and libplist would keep it
        // inside a string.
        if (data.find('\0') != std::string_view::npos || !xmlNestingWithinLimit(data)) {
            return nullptr;
        }
        plist_from_xml(data.data(), length, &root);
    }
    if (root != nullptr && !treeWithinLimits(root)) {
        freeDeepTree(root);
        return nullptr;
    }
    return PlistPtr(root);
}

}  // namespace

PropertyList PropertyList::ofBoolean(bool value) {
    PropertyList list;
    list.kind = Kind::boolean;
    list.boolean = value;
    return list;
}

PropertyList PropertyList::ofDictionary(std::vector<Entry> entries) {
    PropertyList list;
    list.kind = Kind::dictionary;
    list.dictionary = std::move(entries);
    return list;
}

std::optional<PropertyList> parsePropertyList(std::string_view data) {
    const PlistPtr root = parseTree(data);
    if (!root) return std::nullopt;
    return convert(root.get());
}

std::optional<PropertyList> readPropertyList(const std::string& path) {
    std::string data;
    if (!readFile(path, data, kMaxPropertyListBytes)) return std::nullopt;
    return parsePropertyList(data);
}

std::string toXml(const PropertyList& list) {
    const PlistPtr root(toNode(list));
    if (!root) return {};
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    std::string text = xml != nullptr ? std::string(xml, length) : std::string();
    if (xml != nullptr) plist_to_xml_free(xml);
    return text;
}

const PropertyList* dictionaryItem(const PropertyList* dict, std::string_view key) {
    if (dict == nullptr || dict->kind != PropertyList::Kind::dictionary) return nullptr;
    for (const auto& [name, value] : dict->dictionary) {
        if (name == key) return &value;
    }
    return nullptr;
}

std::optional<std::string> stringValue(const PropertyList* node) {
    if (node == nullptr || node->kind != PropertyList::Kind::string) return std::nullopt;
    return node->string;
}

std::optional<bool> booleanValue(const PropertyList* node) {
    if (node == nullptr || node->kind != PropertyList::Kind::boolean) return std::nullopt;
    return node->boolean;
}

}  // namespace tessaway::platform
