#include "core/probe/snapshot.h"

#include "core/text.h"

namespace tessaway {

void Snapshot::setFacts(const SetupFacts& facts) {
    claimed = facts.claimed;
    name = facts.name;
    configured = facts.configured;
}

MenuText menuText(const Snapshot& snapshot, size_t nameCharacters) {
    MenuText text;
    const auto name =
        snapshot.name ? std::optional(boundedName(*snapshot.name, nameCharacters)) : std::nullopt;
    text.pause = snapshot.state == ServerState::paused ? "Resume Sharing" : "Pause Sharing";
    switch (snapshot.state) {
        case ServerState::paused:
            text.status = "Tessaway Server: Paused";
            text.detail = "Sharing is off until you resume it";
            break;
        case ServerState::starting:
            text.status = "Tessaway Server: Starting\u2026";
            text.detail = "Waiting for the server to answer";
            break;
        case ServerState::notResponding:
            text.status = "Tessaway Server: Not responding";
            text.detail = "See ~/Library/Logs/Tessaway/server.log";
            break;
        case ServerState::running:
            text.status = "Tessaway Server: Running";
            if (!snapshot.claimed) {
                text.detail = name.value_or("");
            } else if (*snapshot.claimed) {
                text.detail = name.value_or("This server") + " \u00B7 linked to Tessaway Connect";
            } else if (snapshot.configured.value_or(false)) {
                text.detail = "Not claimed yet: open setup to link it";
            } else {
                text.detail = "Not set up yet: open setup to finish";
            }
            break;
    }
    return text;
}

}  // namespace tessaway
