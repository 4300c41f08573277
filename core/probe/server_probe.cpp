#include "core/probe/server_probe.h"

#include <nlohmann/json.hpp>

#include <string>
#include <utility>

#include "core/identity.h"
#include "core/probe/http_client.h"
#include "core/service/port_config.h"
#include "core/text.h"
#include "platform/clock.h"

namespace tessaway {
namespace {

constexpr const char* kPingPath = "/api/ping";
constexpr const char* kSetupStatusPath = "/api/setup/status";

constexpr double kRequestTimeout = 3.0;
constexpr double kIdleTimeout = 2.0;
// The readiness wait: one second per try, half a second between tries.
constexpr double kReadyTryTimeout = 1.0;
constexpr double kReadyPause = 0.5;

HttpRequest getRequest(int64_t port, const char* path) {
    return {"GET", probeBase(port) + path, kRequestTimeout, kIdleTimeout};
}

bool answered(const HttpResponse& response) {
    return response.answered && response.status == 200;
}

std::optional<bool> booleanAt(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

SetupFacts factsOf(const HttpResponse& response) {
    return response.body ? setupFacts(*response.body) : SetupFacts{};
}

}  // namespace

SetupFacts setupFacts(std::string_view body) {
    SetupFacts facts;
    const auto object = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (!object.is_object()) return facts;
    facts.claimed = booleanAt(object, "claimed");
    facts.configured = booleanAt(object, "configured");
    if (const auto it = object.find("server_name"); it != object.end() && it->is_string()) {
        facts.name = replaceControlCharacters(it->get_ref<const std::string&>());
    }
    return facts;
}

bool pingServer() {
    return answered(httpRequest(getRequest(serverPort(), kPingPath)));
}

SetupFacts askSetupStatus() {
    return factsOf(httpRequest(getRequest(serverPort(), kSetupStatusPath)));
}

void waitForServer(double seconds) {
    const std::string address = probeBase(serverPort()) + kPingPath;
    const double deadline = platform::now() + seconds;
    while (platform::now() < deadline) {
        if (answered(httpRequest({"HEAD", address, kReadyTryTimeout, 0.0}))) return;
        platform::sleepFor(kReadyPause);
    }
}

ServerProbe::ServerProbe() : worker_(std::make_unique<HttpWorker>()) {}

ServerProbe::~ServerProbe() = default;

void ServerProbe::ping(int64_t port, PingAnswer answer) {
    worker_->submit(
        getRequest(port, kPingPath),
        [answer = std::move(answer)](const HttpResponse& response) { answer(answered(response)); });
}

void ServerProbe::askSetupStatus(int64_t port, SetupStatusAnswer answer) {
    worker_->submit(
        getRequest(port, kSetupStatusPath),
        [answer = std::move(answer)](const HttpResponse& response) { answer(factsOf(response)); });
}

}  // namespace tessaway
