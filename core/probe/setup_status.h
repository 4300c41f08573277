#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string_view>

#include "core/probe/snapshot.h"

namespace tessaway {

/// Parses a body as JSON; only an object counts. Never throws.
std::optional<nlohmann::json> parseJsonObject(std::string_view body);

/// The setup facts of a setup-status object: "claimed" and "configured" when they are JSON
/// booleans, "server_name" when it is a JSON string. No object: all absent.
SetupFacts setupFacts(const std::optional<nlohmann::json>& object);

}  // namespace tessaway
