#include "core/probe/server_probe.h"

#include "core/identity.h"
#include "core/probe/http_client.h"
#include "core/probe/setup_status.h"
#include "core/service/port_config.h"
#include "platform/clock.h"

namespace tessaway {

JsonResult getJSON(const std::string& path, double timeout) {
    const HttpResponse response =
        httpRequest({"GET", probeBase(serverPort()) + path, timeout, 0.0});
    JsonResult result;
    result.ok = response.answered && response.status == 200;
    if (response.body) result.obj = parseJsonObject(*response.body);
    return result;
}

void waitForServer(double seconds) {
    const std::string address = probeBase(serverPort()) + "/api/ping";
    const double deadline = platform::now() + seconds;
    while (platform::now() < deadline) {
        const HttpResponse response = httpRequest({"HEAD", address, 1.0, 0.0});
        if (response.answered && response.status == 200) return;
        platform::sleepFor(0.5);
    }
}

}  // namespace tessaway
