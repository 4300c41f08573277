#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "core/probe/snapshot.h"

namespace tessaway {

class HttpWorker;

// Every question the controller puts to the media server, and what it takes from the answers.
// Two endpoints, both asked with GET at the probe base:
//  - the ping ("/api/ping") is answered when the status is 200; its body is never read;
//  - the setup status ("/api/setup/status") gives the setup facts of a body that holds a JSON
//    object, whatever the status; no body, or any other body, leaves all three facts absent.
// A request fails when no byte has come for two seconds, and in any case after three. Nothing
// here reports or logs: every failure folds into "not answered" or "nothing known".

/// The setup facts of a setup-status body: "claimed" and "configured" when they are JSON
/// booleans, "server_name" when it is a JSON string, with its control characters replaced (the
/// name comes from outside; every view shows it as it is given here). Never fails.
SetupFacts setupFacts(std::string_view body);

/// Pings the server on the configured port (read at each call) and waits for the answer.
bool pingServer();
/// Asks the server on the configured port (read at each call) for its setup status and waits
/// for the answer.
SetupFacts askSetupStatus();

/// Pings the server with HEAD, one second per try and half a second apart, until it answers 200
/// or `seconds` have passed. The port is read once, at the start. The caller does not learn
/// which: the wait only gives a fresh server time to come up.
void waitForServer(double seconds);

/// The same two questions asked in the background, side by side on one I/O thread, each of a
/// given port. The answers arrive on that thread. Destroying the probe abandons what is still
/// in flight, without its answer.
class ServerProbe {
public:
    using PingAnswer = std::function<void(bool answered)>;
    using SetupStatusAnswer = std::function<void(SetupFacts facts)>;

    ServerProbe();
    ~ServerProbe();
    ServerProbe(const ServerProbe&) = delete;
    ServerProbe& operator=(const ServerProbe&) = delete;

    void ping(int64_t port, PingAnswer answer);
    void askSetupStatus(int64_t port, SetupStatusAnswer answer);

private:
    std::unique_ptr<HttpWorker> worker_;
};

}  // namespace tessaway
