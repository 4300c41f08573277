#include "launchctl/supervisor/supervisor_manager.h"

#include "launchctl/environment.h"
#include "launchctl/supervisor/service_record.h"
#include "launchctl/supervisor/supervisor.h"

namespace tessaway::launchd {
namespace {

class SupervisorManager final : public ServiceManager {
public:
    SupervisorManager(std::string folder, unsigned long uid)
        : folder_(std::move(folder)), uid_(uid) {}

    std::optional<LoadedService> find(const std::string& label) override {
        const auto record = loadedRecord(folder_, label);
        if (!record) return std::nullopt;
        return LoadedService{record->pid, record->stopping, record->lastStatus, record->report};
    }

    std::vector<std::string> labels() override { return recordLabels(folder_); }

    LoadResult load(const ServiceDefinition& def) override {
        // Launchd's own bootout returns once the job is gone; here the old instance may still be
        // ending. Wait for it rather than refuse the new definition, so that replacing a loaded
        // service (bootout, then bootstrap) loads the new one.
        if (!awaitUnloaded(def.label, unloadWaitSeconds(def))) {
            const auto record = loadedRecord(folder_, def.label);
            return record && !record->stopping ? LoadResult::alreadyLoaded : LoadResult::failed;
        }
        return loadService(def, serviceEnvironment(def, processVariable), folder_, uid_);
    }

    bool stop(const std::string& label) override { return requestStop(folder_, label); }

    void settle(const std::vector<std::string>& labels) override { awaitStopping(folder_, labels); }

    bool awaitUnloaded(const std::string& label, double seconds) override {
        return tessaway::launchd::awaitUnloaded(folder_, label, seconds);
    }

    // The records die with the session, so an ended agent is loaded again at the next login.
    bool startAgain(const ServiceDefinition&) override { return false; }

    // Each supervisor takes the session's variables from the bootstrap that started it.
    void importSession() override {}

private:
    std::string folder_;
    unsigned long uid_;
};

}  // namespace

std::unique_ptr<ServiceManager> supervisorManager(std::string folder, unsigned long uid) {
    return std::make_unique<SupervisorManager>(std::move(folder), uid);
}

}  // namespace tessaway::launchd
