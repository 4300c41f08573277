#include "core/service/port_config.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cstring>

#include "core/identity.h"
#include "platform/property_list.h"

namespace tessaway {
namespace {

constexpr int64_t kSearchSpan = 88;  // 8011 to 8099 inclusive

}  // namespace

std::optional<int64_t> parseDecimal(std::string_view text) {
    const bool signed_ = !text.empty() && (text.front() == '+' || text.front() == '-');
    const std::string_view digits = text.substr(signed_ ? 1 : 0);
    if (digits.empty() || digits.front() < '0' || digits.front() > '9') return std::nullopt;
    // from_chars takes a leading "-" but not a "+": hand it the digits with the minus only.
    const std::string_view number = text.front() == '-' ? text : digits;
    int64_t value = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (ec != std::errc() || end != number.data() + number.size()) return std::nullopt;
    return value;
}

int64_t serverPort() {
    auto root = platform::readPropertyList(serverPlist.string());
    plist_t env = platform::dictionaryItem(root.get(), "EnvironmentVariables");
    plist_t port = platform::dictionaryItem(env, "TESSAWAY_PORT");
    if (port == nullptr) return defaultPort;
    if (auto text = platform::stringValue(port)) {
        if (auto value = parseDecimal(*text)) return *value;
    }
    if (plist_get_node_type(port) == PLIST_UINT) {
        uint64_t value = 0;
        plist_get_uint_val(port, &value);
        return static_cast<int64_t>(value);
    }
    return defaultPort;
}

bool portIsFree(int64_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

int64_t freePort() {
    for (int64_t port = defaultPort; port <= defaultPort + kSearchSpan; ++port) {
        if (portIsFree(port)) return port;
    }
    return defaultPort;
}

}  // namespace tessaway
