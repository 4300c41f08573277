#include "launchctl/service_report.h"

#include <cstring>

#include "launchctl/target.h"

namespace tessaway::launchd {

std::string listStatus(const ServiceRuntime& runtime) {
    if (!runtime.lastEnd) return "-";
    const Termination& end = *runtime.lastEnd;
    return end.signaled ? "-" + std::to_string(end.code) : std::to_string(end.code);
}

std::string serviceReport(const ServiceDefinition& def, const Environment& env,
                          const ServiceRuntime& runtime, unsigned long uid) {
    const std::string domain = domainName(uid);
    const char* state = runtime.pid == 0   ? "not running"
                        : runtime.stopping ? "SIGTERMed"
                                           : "running";
    std::string out;
    out.reserve(1024);
    out += domain + "/" + def.label + " = {\n";
    out += "\tactive count = " + std::string(runtime.pid != 0 ? "1" : "0") + "\n";
    out += "\tpath = " + def.path + "\n";
    out += "\ttype = LaunchAgent\n";
    out += "\tstate = " + std::string(state) + "\n\n";
    out += "\tprogram = " + def.executable() + "\n";
    out += "\targuments = {\n";
    for (const auto& argument : def.arguments)
        out += "\t\t" + argument + "\n";
    out += "\t}\n\n";
    if (!def.workingDirectory.empty()) {
        out += "\tworking directory = " + def.workingDirectory + "\n\n";
    }
    if (!def.standardOutPath.empty()) out += "\tstdout path = " + def.standardOutPath + "\n";
    if (!def.standardErrorPath.empty()) out += "\tstderr path = " + def.standardErrorPath + "\n";
    out += "\tdefault environment = {\n";
    out += "\t\tPATH => " + std::string(kServicePath) + "\n";
    out += "\t}\n\n";
    out += "\tenvironment = {\n";
    for (const auto& [name, value] : env)
        out += "\t\t" + name + " => " + value + "\n";
    out += "\t}\n\n";
    out += "\tdomain = " + domain + "\n";
    out += "\tminimum runtime = " + std::to_string(def.throttleInterval) + "\n";
    out += "\texit timeout = " + std::to_string(def.exitTimeOut) + "\n";
    out += "\truns = " + std::to_string(runtime.runs) + "\n";
    if (runtime.pid != 0) out += "\tpid = " + std::to_string(runtime.pid) + "\n";
    if (!runtime.lastEnd) {
        out += "\tlast exit code = (never exited)\n";
    } else if (runtime.lastEnd->signaled) {
        const int signal = runtime.lastEnd->code;
        const char* name = strsignal(signal);
        out += "\tlast terminating signal = " + std::string(name != nullptr ? name : "Signal") +
               ": " + std::to_string(signal) + "\n";
    } else {
        out += "\tlast exit code = " + std::to_string(runtime.lastEnd->code) + "\n";
    }
    std::string properties;
    const auto add = [&](const char* property) {
        if (!properties.empty()) properties += " | ";
        properties += property;
    };
    if (def.runAtLoad) add("runatload");
    if (def.keepAlive.present()) add("keepalive");
    if (def.program.empty()) add("inferred program");
    if (!properties.empty()) out += "\n\tproperties = " + properties + "\n";
    out += "}\n";
    return out;
}

}  // namespace tessaway::launchd
