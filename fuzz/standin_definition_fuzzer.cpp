// A service definition given to the stand-in launchctl's bootstrap, and what print shows of it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "launchctl/definition.h"
#include "launchctl/environment.h"
#include "launchctl/service_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tessaway::launchd;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const DefinitionResult result = parseDefinition(bytes, "/fuzz/definition.plist");
    if (!result.definition) return 0;
    const ServiceDefinition& def = *result.definition;
    if (!usableLabel(def.label)) __builtin_trap();  // a refused label must never load
    const Environment env =
        serviceEnvironment(def, [](const char*) -> const char* { return nullptr; });
    ServiceRuntime runtime;
    (void)serviceReport(def, env, runtime, 1000);
    Termination end;
    end.signaled = size % 2 == 0;
    end.code = static_cast<int>(size % 64);
    (void)shouldRestart(def.keepAlive, end);
    return 0;
}
