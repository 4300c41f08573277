#include "launchctl/systemd/systemd_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "launchctl/environment.h"
#include "launchctl/locations.h"
#include "launchctl/systemd/unit_file.h"
#include "launchctl/systemd/unit_folder.h"
#include "platform/clock.h"
#include "platform/file_read.h"
#include "platform/system.h"

namespace tessaway::launchd {
namespace {

// Beside the supervisors' records: what a bootstrap loaded stays loaded after its program has
// ended (when the manager may even have forgotten the unit) until a bootout.
constexpr std::string_view kMarkSuffix = ".unit-loaded";
constexpr double kPollSeconds = 0.005;
// A start is over once the program runs; it polls faster, since a bootstrap waits for it.
constexpr double kStartSeconds = 30.0;
constexpr double kStartPollSeconds = 0.001;
constexpr size_t kMaxRecordBytes = 256;
// A stop ends at the latest a little after the unit's time-out; without one, this is the bound.
constexpr double kStopMarginSeconds = 10.0;
constexpr double kUnboundedStopSeconds = 30.0;

void err(const std::string& text) {
    platform::writeStandardError(text);
}

class SystemdManager final : public ServiceManager {
public:
    SystemdManager(UserManager manager, std::string folder, unsigned long uid)
        : manager_(std::move(manager)), folder_(std::move(folder)), uid_(uid) {}

    std::optional<LoadedService> find(const std::string& label) override {
        const auto name = unitName(label);
        if (!name) return std::nullopt;
        auto unit = manager_.unit(*name);
        if (!unit || !unitLoaded(*unit, marked(label))) return std::nullopt;
        constexpr std::string_view kAppend = "append:";
        for (auto [key, path] : {std::pair{"StandardOutput", &unit->standardOutPath},
                                 std::pair{"StandardError", &unit->standardErrorPath}}) {
            const std::string setting = unitSetting(*name, key);
            if (setting.rfind(kAppend, 0) == 0) *path = setting.substr(kAppend.size());
        }
        std::optional<EndRecord> record;
        std::string text;
        if (platform::readFile(markPath(label), text, kMaxRecordBytes))
            record = parseEndRecord(text);
        return loadedService(*unit, label, uid_, record);
    }

    std::vector<std::string> labels() override {
        std::vector<std::string> labels = unitLabels();
        if (DIR* dir = opendir(folder_.c_str())) {
            while (const dirent* entry = readdir(dir)) {
                const std::string_view file = entry->d_name;
                if (file.size() > kMarkSuffix.size() &&
                    file.substr(file.size() - kMarkSuffix.size()) == kMarkSuffix) {
                    labels.emplace_back(file.substr(0, file.size() - kMarkSuffix.size()));
                }
            }
            closedir(dir);
        }
        std::sort(labels.begin(), labels.end());
        labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
        return labels;
    }

    LoadResult load(const ServiceDefinition& def) override {
        const auto name = unitName(def.label);
        if (!name) {
            err(def.path + ": the Label is too long for the name of a systemd unit\n");
            return LoadResult::failed;
        }
        if (const auto before = manager_.unit(*name);
            before && unitLoaded(*before, marked(def.label))) {
            if (before->activeState != "deactivating") return LoadResult::alreadyLoaded;
            if (!awaitUnloaded(def.label, unloadWaitSeconds(def))) return LoadResult::failed;
        }
        const Environment env = unitEnvironment(def, processVariable);
        const UnitText unit = renderUnit(def, env, markPath(def.label));
        if (!unit.problem.empty()) {
            err(def.path + ": " + unit.problem + "\n");
            return LoadResult::failed;
        }
        // systemd fails a unit whose log folder is missing; the supervisors make it.
        for (const auto* path : {&def.standardOutPath, &def.standardErrorPath}) {
            if (!path->empty()) createFolders(parentFolder(*path), 0755);
        }
        const auto inMemory = manager_.loadStateInMemory(*name);
        std::string error;
        const UnitWrite written = writeUnit(*name, unit.text, error);
        if (written == UnitWrite::failed) {
            err(def.path + ": " + error + "\n");
            return LoadResult::failed;
        }
        // A unit the manager has not read yet, or read as missing, is read when it is asked for.
        if (written == UnitWrite::written && inMemory && *inMemory != "not-found" &&
            !manager_.reload()) {
            err("launchctl: the user manager could not reload its units: " + manager_.lastError() +
                "\n");
        }
        if (const auto problem = mirrorLoginStart(def.label, true); !problem.empty()) {
            err("launchctl: start at login could not be registered: " + problem + "\n");
        }
        if (!readsAsDefined(def, *name, env)) {
            removeUnit(*name);
            return LoadResult::failed;
        }
        // Loaded from here on, also once its program has ended, until it is booted out; the
        // unit counts its ends there.
        const std::string mark = markPath(def.label);
        close(open(mark.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!def.startsAtLoad()) return LoadResult::loaded;
        const auto earlier = manager_.unit(*name);
        if (!manager_.start(*name) || !awaitStarted(*name, earlier ? earlier->startedAt : 0)) {
            unlink(mark.c_str());
            err("launchctl: the user manager did not start " + *name + ": " + manager_.lastError() +
                "\n");
            return LoadResult::failed;
        }
        return LoadResult::loaded;
    }

    bool stop(const std::string& label) override {
        const auto name = unitName(label);
        if (!name || !find(label)) return false;
        unlink(markPath(label).c_str());
        manager_.stop(*name);
        return true;
    }

    void settle(const std::vector<std::string>& labels) override {
        for (const auto& label : labels)
            awaitGone(label, std::nullopt);
    }

    bool awaitUnloaded(const std::string& label, double seconds) override {
        const auto name = unitName(label);
        if (!name) return true;
        const auto unit = manager_.unit(*name);
        if (!unit || !unitLoaded(*unit, marked(label))) return true;
        if (unit->activeState != "deactivating") return false;
        return awaitGone(label, seconds);
    }

    bool startAgain(const ServiceDefinition& def) override {
        const auto name = unitName(def.label);
        if (!name || !def.startsAtLoad()) return false;
        const auto unit = manager_.unit(*name);
        if (!unit || !unitEnded(*unit)) return false;
        return manager_.restart(*name) && awaitStarted(*name, unit->startedAt);
    }

    void importSession() override {
        const auto session = assignments(displayVariables(processVariable));
        if (!session.empty() && !manager_.setEnvironment(session)) {
            err("launchctl: the user manager did not take the session's variables\n");
        }
    }

private:
    std::string markPath(const std::string& label) const {
        return folder_ + "/" + label + std::string(kMarkSuffix);
    }

    bool marked(const std::string& label) const {
        return access(markPath(label).c_str(), F_OK) == 0;
    }

    /// Whether the manager has the unit loaded with exactly the definition's command and
    /// environment; otherwise says why on standard error.
    bool readsAsDefined(const ServiceDefinition& def, const std::string& name,
                        const Environment& env) {
        const auto unit = manager_.unit(name);
        if (!unit || unit->loadState != "loaded") {
            const auto folders = manager_.unitPath();
            const bool read =
                std::find(folders.begin(), folders.end(), unitFolder()) != folders.end();
            err(def.path + ": " +
                (read ? "the user manager could not load its unit " + name + " (" +
                            (unit ? unit->loadState : std::string("no answer")) + ")"
                      : "the user manager does not read units from " + unitFolder()) +
                "\n");
            return false;
        }
        std::vector<std::string> command = def.arguments;
        command.insert(command.begin(), def.executable());
        std::vector<std::string> expected = assignments(env);
        std::vector<std::string> environment = unit->environment;
        std::sort(environment.begin(), environment.end());
        std::sort(expected.begin(), expected.end());
        std::vector<std::string> read = unitCommand(*unit);
        // systemd looks a plain program name up itself.
        if (def.executable().front() != '/' && !read.empty()) read.front() = def.executable();
        if (read != command || environment != expected) {
            err(def.path + ": systemd would read its unit differently, so it is not loaded\n");
            return false;
        }
        return true;
    }

    /// Waits until the program of a unit being started runs, or could not be run, or has
    /// already ended: its start job may wait much longer, for a stop of what it left behind.
    /// `earlierStart` is when the unit's program was started before (0 for never).
    bool awaitStarted(const std::string& name, uint64_t earlierStart) {
        const double deadline = platform::now() + kStartSeconds;
        for (;;) {
            const auto unit = manager_.unit(name);
            if (!unit) return false;
            const bool running = unit->mainPid != 0 && unit->activeState == "active";
            // The end of this start's program, not of an earlier one.
            const bool ended = (unit->exitedAt != 0 && unit->startedAt != earlierStart) ||
                               unit->subState == "auto-restart";
            if (running || ended || (unit->job == 0 && unit->activeState != "activating")) {
                return true;
            }
            if (platform::now() >= deadline) return false;
            platform::sleepFor(kStartPollSeconds);
        }
    }

    /// Waits until a stopped unit is gone; a unit that failed on its way out is forgotten too.
    bool awaitGone(const std::string& label, std::optional<double> seconds) {
        const auto name = unitName(label);
        if (!name) return true;
        std::optional<double> deadline;
        for (;;) {
            const auto unit = manager_.unit(*name);
            if (!unit) return false;
            if (unit->activeState == "failed" && unit->job == 0) {
                manager_.resetFailed(*name);
                continue;
            }
            if (!unitLoaded(*unit, marked(label))) return true;
            if (!deadline) {
                const double stop = unit->timeoutStopMicroseconds == UINT64_MAX
                                        ? kUnboundedStopSeconds
                                        : static_cast<double>(unit->timeoutStopMicroseconds) / 1e6;
                deadline = platform::now() + seconds.value_or(stop + kStopMarginSeconds);
            }
            if (platform::now() >= *deadline) return false;
            platform::sleepFor(kPollSeconds);
        }
    }

    UserManager manager_;
    std::string folder_;
    unsigned long uid_;
};

}  // namespace

std::unique_ptr<ServiceManager> systemdManager(UserManager manager, std::string folder,
                                               unsigned long uid) {
    return std::make_unique<SystemdManager>(std::move(manager), std::move(folder), uid);
}

}  // namespace tessaway::launchd
