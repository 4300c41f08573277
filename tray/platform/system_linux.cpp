#include "platform/system.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace tessaway::platform {
namespace {

void writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace

std::string homeDirectory() {
    std::string home;
    if (const char* env = std::getenv("HOME"); env != nullptr && *env != '\0') {
        home = env;
    } else if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        home = pw->pw_dir;
    }
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    return home;
}

std::string executablePath() {
    char buffer[PATH_MAX];
    if (realpath("/proc/self/exe", buffer) == nullptr) return {};
    return buffer;
}

void writeStandardError(const std::string& text) {
    writeAll(STDERR_FILENO, text);
}
void writeStandardOutput(const std::string& text) {
    writeAll(STDOUT_FILENO, text);
}

}  // namespace tessaway::platform
