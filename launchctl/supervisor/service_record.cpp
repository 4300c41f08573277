#include "launchctl/supervisor/service_record.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "platform/clock.h"
#include "platform/file_read.h"
#include "platform/lock_file.h"
#include "platform/system.h"
#include "platform/unique_fd.h"

namespace tessaway::launchd {
namespace {

constexpr size_t kMaxStateBytes = 1 << 20;
// How long a reader waits for a supervisor that holds the lock but has not reported yet.
constexpr int kReportWaits = 250;
constexpr double kReportWaitSeconds = 0.001;

std::optional<long> number(const std::string& text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

std::string lockPath(const std::string& folder, const std::string& label) {
    return folder + "/" + label + ".lock";
}

std::string statePath(const std::string& folder, const std::string& label) {
    return folder + "/" + label + ".state";
}

std::optional<pid_t> recordHolder(const std::string& folder, const std::string& label) {
    // Anything but a regular file there is no supervisor's lock, and a FIFO must not block.
    const platform::LockFile lock =
        platform::openLockFile(lockPath(folder, label), platform::LockOpen::existing);
    const platform::UniqueFd& fd = lock.fd;
    if (!fd) return std::nullopt;
    struct flock query {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    const bool asked = fcntl(fd.get(), F_GETLK, &query) == 0;
    if (!asked || query.l_type == F_UNLCK) return std::nullopt;
    return query.l_pid;
}

std::string encodeRecord(const ServiceRecord& record) {
    std::string text = std::to_string(record.supervisor) + ' ' + std::to_string(record.pid) + ' ' +
                       std::to_string(record.started) + ' ' + (record.stopping ? '1' : '0') + ' ' +
                       record.lastStatus + '\n';
    return text + record.report;
}

std::optional<ServiceRecord> decodeRecord(const std::string& text) {
    const auto end = text.find('\n');
    if (end == std::string::npos) return std::nullopt;
    std::vector<std::string> fields;
    size_t start = 0;
    while (start <= end) {
        const size_t space = std::min(text.find(' ', start), end);
        fields.push_back(text.substr(start, space - start));
        start = space + 1;
    }
    if (fields.size() != 5) return std::nullopt;
    const auto supervisor = number(fields[0]);
    const auto pid = number(fields[1]);
    const auto started = number(fields[2]);
    const std::string& status = fields[4];
    if (!supervisor || !pid || !started || (fields[3] != "0" && fields[3] != "1") ||
        status.empty()) {
        return std::nullopt;
    }
    ServiceRecord record;
    record.supervisor = static_cast<pid_t>(*supervisor);
    record.pid = static_cast<pid_t>(*pid);
    record.started = static_cast<unsigned long long>(*started);
    record.stopping = fields[3] == "1";
    record.lastStatus = status;
    record.report = text.substr(end + 1);
    return record;
}

std::optional<ServiceRecord> loadedRecord(const std::string& folder, const std::string& label) {
    const std::string state = statePath(folder, label);
    std::string text;
    for (int attempt = 0;; ++attempt) {
        const auto holder = recordHolder(folder, label);
        if (!holder) return std::nullopt;
        if (platform::readFile(state, text, kMaxStateBytes)) {
            if (auto record = decodeRecord(text); record && record->supervisor == *holder) {
                return record;
            }
        }
        if (attempt == kReportWaits) {
            // Locked by something that never reports: loaded, but nothing more is known.
            ServiceRecord record;
            record.supervisor = *holder;
            return record;
        }
        platform::sleepFor(kReportWaitSeconds);
    }
}

std::optional<ServiceRecord> lastRecord(const std::string& folder, const std::string& label) {
    std::string text;
    if (!platform::readFile(statePath(folder, label), text, kMaxStateBytes)) return std::nullopt;
    return decodeRecord(text);
}

std::optional<unsigned long long> processStartTime(pid_t pid) {
    std::string text;
    if (pid <= 0 || !platform::readFile("/proc/" + std::to_string(pid) + "/stat", text, 4096)) {
        // /proc files report a size of 0; readFile reads them all the same.
        return std::nullopt;
    }
    // The command name in parentheses may hold spaces and parentheses; fields follow the last.
    const auto close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    size_t at = close + 1;
    // After ")" come state (field 3) up to starttime (field 22): skip 19 fields.
    for (int field = 3; field < 22; ++field) {
        at = text.find(' ', at + 1);
        if (at == std::string::npos) return std::nullopt;
    }
    const auto end = text.find(' ', at + 1);
    const auto value = number(text.substr(at + 1, end == std::string::npos ? end : end - at - 1));
    if (!value) return std::nullopt;
    return static_cast<unsigned long long>(*value);
}

bool writeRecord(const std::string& folder, const std::string& label, const ServiceRecord& record) {
    const std::string path = statePath(folder, label);
    const std::string temp = path + ".new";
    platform::UniqueFd fd(
        open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) return false;
    const bool written = platform::writeAll(fd.get(), encodeRecord(record));
    if (!fd.close() || !written || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

std::vector<std::string> recordLabels(const std::string& folder) {
    std::vector<std::string> labels;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return labels;
    constexpr std::string_view kSuffix = ".lock";
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.size() > kSuffix.size() && name.substr(name.size() - kSuffix.size()) == kSuffix) {
            labels.emplace_back(name.substr(0, name.size() - kSuffix.size()));
        }
    }
    closedir(dir);
    std::sort(labels.begin(), labels.end());
    return labels;
}

}  // namespace tessaway::launchd
