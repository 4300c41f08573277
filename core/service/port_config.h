#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tessaway {

/// The server's port from the installed server definition; defaultPort whenever the definition
/// does not yield a number. Read afresh on every call.
int64_t serverPort();

/// Can an IPv4 TCP socket be bound to `port` on the wildcard address right now?
bool portIsFree(int64_t port);

/// The first free port from 8011 to 8099, or 8011 when none is.
int64_t freePort();

/// Strict base-10 parse: an optional single sign, then one or more ASCII digits, nothing else,
/// within the signed 64-bit range.
std::optional<int64_t> parseDecimal(std::string_view text);

}  // namespace tessaway
