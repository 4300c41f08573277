#include "platform/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace tessaway::platform {

bool readFile(const std::string& path, std::string& content, size_t limit) {
    // Without blocking: opening a FIFO for reading would wait for a writer. Only a regular file
    // (also behind a symbolic link) is read.
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) return false;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<size_t>(st.st_size) > limit) {
        return false;
    }
    content.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || content.size() + static_cast<size_t>(n) > limit) return false;
        if (n == 0) return true;
        content.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace tessaway::platform
