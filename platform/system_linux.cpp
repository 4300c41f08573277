#include "platform/system.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace tessaway::platform {

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

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

void writeStandardError(std::string_view text) {
    writeAll(STDERR_FILENO, text);
}
void writeStandardOutput(std::string_view text) {
    writeAll(STDOUT_FILENO, text);
}

}  // namespace tessaway::platform
