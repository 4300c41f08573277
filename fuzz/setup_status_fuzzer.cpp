// A setup-status body: parsed, turned into setup facts and then into the texts shown, which
// must hold no control character whatever the body said.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/probe/server_probe.h"
#include "core/probe/snapshot.h"
#include "core/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tessaway;
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    Snapshot snap;
    snap.state = ServerState::running;
    snap.setFacts(setupFacts(body));
    const MenuText text = menuText(snap, 48);
    if (replaceControlCharacters(text.detail) != text.detail) __builtin_trap();
    return 0;
}
