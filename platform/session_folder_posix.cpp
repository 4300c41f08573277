#include "platform/session_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tessaway::platform {
namespace {

/// An absolute path from the environment, or empty: relative ones do not count.
std::string absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value == '/' ? value : "";
}

std::string folderPath(const std::string& name) {
    if (const std::string runtime = absoluteVariable("XDG_RUNTIME_DIR"); !runtime.empty()) {
        return runtime + "/" + name;
    }
    // Not $TMPDIR: a user is one user whatever each process was told, and the commands of
    // one session must find the lock, the registry and the services of the others.
    return "/tmp/" + name + "-" + std::to_string(getuid());
}

}  // namespace

SessionFolder sessionFolder(const std::string& name, bool create) {
    SessionFolder folder{folderPath(name), {}};
    if (create && mkdir(folder.path.c_str(), 0700) != 0 && errno != EEXIST) {
        folder.problem = std::string("cannot create it: ") + std::strerror(errno);
        return folder;
    }
    // Someone else may have made it first, or put a link or a file in its place.
    struct stat st {};
    if (lstat(folder.path.c_str(), &st) != 0) {
        if (errno != ENOENT || create) {
            folder.problem = std::string("cannot examine it: ") + std::strerror(errno);
        }
        return folder;
    }
    if (S_ISLNK(st.st_mode)) {
        folder.problem = "it is a symbolic link";
    } else if (!S_ISDIR(st.st_mode)) {
        folder.problem = "it is not a folder";
    } else if (st.st_uid != getuid()) {
        folder.problem = "it belongs to another user";
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        folder.problem = "other users can write to it";
    }
    return folder;
}

}  // namespace tessaway::platform
