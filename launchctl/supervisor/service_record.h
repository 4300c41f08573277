#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

// A loaded service has two files in the runtime folder: "<label>.lock", on which its
// supervisor holds a write lock for as long as the service is loaded, and "<label>.state",
// the supervisor's latest report. The lock dies with the supervisor, so a record whose lock is
// free is stale and reads as not loaded, whatever its state file says. Lock files are never
// removed: every supervisor of a label must lock the very same file.

namespace tessaway::launchd {

/// What the supervisor of a loaded service reports.
struct ServiceRecord {
    pid_t supervisor = 0;
    /// The service's process while it runs, else 0.
    pid_t pid = 0;
    /// When that process started (clock ticks since boot), so that a later reader can tell it
    /// from a process that got the same id after it; 0 when unknown.
    unsigned long long started = 0;
    /// On its way out after a bootout: from the request until the record is gone, also once the
    /// program has ended.
    bool stopping = false;
    /// "-" before the first end, then the exit status, or minus the signal number.
    std::string lastStatus = "-";
    /// The block that `print` shows for the service.
    std::string report;
};

std::string lockPath(const std::string& folder, const std::string& label);
std::string statePath(const std::string& folder, const std::string& label);

/// The process that holds the record's lock, when one does.
std::optional<pid_t> recordHolder(const std::string& folder, const std::string& label);

/// The record of a loaded service, read consistently with its lock; empty when not loaded.
/// A supervisor that has just taken the lock and not yet reported is waited for briefly.
std::optional<ServiceRecord> loadedRecord(const std::string& folder, const std::string& label);

/// Replaces the state file with `record`, atomically for readers.
bool writeRecord(const std::string& folder, const std::string& label, const ServiceRecord& record);

/// Labels that have a lock file in the folder, loaded or not, sorted.
std::vector<std::string> recordLabels(const std::string& folder);

/// The last record a supervisor left, whether or not it is still alive; empty when there is
/// none or it cannot be read.
std::optional<ServiceRecord> lastRecord(const std::string& folder, const std::string& label);

/// When the process started, in clock ticks since boot; empty when it does not exist.
std::optional<unsigned long long> processStartTime(pid_t pid);

/// Text form of a record, and back; exposed for tests.
std::string encodeRecord(const ServiceRecord& record);
std::optional<ServiceRecord> decodeRecord(const std::string& text);

}  // namespace tessaway::launchd
