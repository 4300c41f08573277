#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/property_list.h"

namespace tessaway {

/// The server's port from the installed server definition; defaultPort whenever the definition
/// does not yield a number. Read afresh on every call.
int64_t serverPort();

/// The port a server definition holds (already read as a property list; null when it could
/// not be), or defaultPort.
int64_t definitionPort(const platform::PropertyList* definition);

/// Can a TCP socket be bound to `port` right now, both on the IPv4 wildcard address and on
/// the IPv6 loopback (where the machine has one)? A program on either loopback address would
/// answer the browser in the server's place.
bool portIsFree(int64_t port);

/// How far above defaultPort the search for a free port goes: 8011 to 8099.
inline constexpr int64_t kPortSearchSpan = 88;

/// The first free port from 8011 to 8099; empty when none is (the installation then falls back
/// to defaultPort and says so).
std::optional<int64_t> freePort();

/// Strict base-10 parse: an optional single sign, then one or more ASCII digits, nothing else,
/// within the signed 64-bit range.
std::optional<int64_t> parseDecimal(std::string_view text);

}  // namespace tessaway
