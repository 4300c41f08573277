#include "platform/atomic_file.h"

#include "platform/system.h"

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
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error = describe(errno);
        return false;
    }
    temp.assign(name.data());
    // mkostemp creates the file private to the user; a definition is readable like any file.
    fchmod(fd, 0644);
    if (!writeAll(fd, text) || fsync(fd) != 0) {
        error = describe(errno);
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    if (close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
        error = describe(errno);
        unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable.
    if (const int dir = open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

bool readFile(const std::string& path, std::string& content, size_t limit) {
    // Without blocking: opening a FIFO for reading would wait for a writer. Only a regular file
    // (also behind a symbolic link) is read.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > limit) {
        close(fd);
        return false;
    }
    content.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || content.size() + static_cast<size_t>(n) > limit) {
            close(fd);
            return false;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

}  // namespace tessaway::platform
