#include "core/service/port_config.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "core/identity.h"
#include "platform/property_list.h"

namespace tessaway {

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
    const auto definition = platform::readPropertyList(serverPlist.string());
    return definitionPort(definition ? &*definition : nullptr);
}

int64_t definitionPort(const platform::PropertyList* definition) {
    const auto* env = platform::dictionaryItem(definition, "EnvironmentVariables");
    const auto* port = platform::dictionaryItem(env, "TESSAWAY_PORT");
    if (port == nullptr) return defaultPort;
    if (auto text = platform::stringValue(port)) {
        if (auto value = parseDecimal(*text)) return *value;
    }
    if (port->kind == platform::PropertyList::Kind::integer) return port->integer;
    return defaultPort;
}

namespace {

/// Binds a probe socket to the port on one address and closes it again. `unavailable` says
/// whether the address family or address does not exist here at all.
bool canBind(int family, int64_t port, bool& unavailable) {
    unavailable = false;
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        unavailable = errno == EAFNOSUPPORT;
        return false;
    }
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof storage);
    socklen_t length = 0;
    if (family == AF_INET) {
        auto& address = reinterpret_cast<sockaddr_in&>(storage);
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        length = sizeof address;
    } else {
        // Only the IPv6 loopback itself: the IPv4 probe above covers the wildcard.
        const int only = 1;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
        auto& address = reinterpret_cast<sockaddr_in6&>(storage);
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        address.sin6_addr = in6addr_loopback;
        length = sizeof address;
    }
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&storage), length) == 0;
    unavailable = !bound && (errno == EADDRNOTAVAIL || errno == EAFNOSUPPORT);
    close(fd);
    return bound;
}

}  // namespace

bool portIsFree(int64_t port) {
    bool unavailable = false;
    if (!canBind(AF_INET, port, unavailable)) return false;
    // A program on [::1] alone would receive every browser that resolves "localhost" to it.
    // Where this machine has no IPv6 loopback, nobody can be there.
    return canBind(AF_INET6, port, unavailable) || unavailable;
}

std::optional<int64_t> freePort() {
    for (int64_t port = defaultPort; port <= defaultPort + kPortSearchSpan; ++port) {
        if (portIsFree(port)) return port;
    }
    return std::nullopt;
}

}  // namespace tessaway
