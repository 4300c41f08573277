#include "core/probe/setup_status.h"

namespace tessaway {
namespace {

std::optional<bool> booleanAt(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

}  // namespace

std::optional<nlohmann::json> parseJsonObject(std::string_view body) {
    auto value = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (!value.is_object()) return std::nullopt;
    return value;
}

SetupFacts setupFacts(const std::optional<nlohmann::json>& object) {
    SetupFacts facts;
    if (!object || !object->is_object()) return facts;
    facts.claimed = booleanAt(*object, "claimed");
    facts.configured = booleanAt(*object, "configured");
    if (const auto it = object->find("server_name"); it != object->end() && it->is_string()) {
        facts.name = it->get<std::string>();
    }
    return facts;
}

}  // namespace tessaway
