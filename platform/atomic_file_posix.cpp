#include "platform/atomic_file.h"

#include "platform/system.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tessaway::platform {
namespace {

std::string describe(int err) {
    return std::string(std::strerror(err)) + " (errno " + std::to_string(err) + ")";
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool writeFileAtomically(const std::string& path, std::string_view text, std::string& error) {
    std::string temp = path + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    UniqueFd fd(mkostemp(name.data(), O_CLOEXEC));
    if (!fd) {
        error = describe(errno);
        return false;
    }
    temp.assign(name.data());
    // mkostemp creates the file private to the user; a definition is readable like any file.
    fchmod(fd.get(), 0644);
    if (!writeAll(fd.get(), text) || fsync(fd.get()) != 0) {
        error = describe(errno);
        unlink(temp.c_str());
        return false;
    }
    if (!fd.close() || rename(temp.c_str(), path.c_str()) != 0) {
        error = describe(errno);
        unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable.
    if (const UniqueFd dir(open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dir)
        fsync(dir.get());
    return true;
}

}  // namespace tessaway::platform
