// A setup-status body: parsed, turned into setup facts and then into the texts shown.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/probe/setup_status.h"
#include "core/probe/snapshot.h"
#include "core/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tessaway;
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    Snapshot snap;
    snap.state = ServerState::running;
    snap.setFacts(setupFacts(parseJsonObject(body)));
    if (snap.name) snap.name = replaceControlCharacters(*snap.name);
    const MenuText text = menuText(snap);
    (void)replaceControlCharacters(text.detail);
    return 0;
}
