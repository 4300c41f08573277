#include "launcher/bundle_paths.h"

#include <errno.h>
#include <libgen.h>
#include <stdlib.h>
#include <string.h>

namespace {

/// Writes `head` followed by `tail` into `out`; answers whether all of it fit. A longer result
/// is cut, and the callers go on with it: resolving or starting a cut path fails and is reported.
bool join(char (&out)[pathSize], const char* head, const char* tail) {
    const size_t headLength = strlen(head);
    const size_t tailLength = strlen(tail);
    const size_t headKept = headLength < pathSize - 1 ? headLength : pathSize - 1;
    const size_t room = pathSize - 1 - headKept;
    const size_t tailKept = tailLength < room ? tailLength : room;
    memmove(out, head, headKept);
    memmove(out + headKept, tail, tailKept);
    out[headKept + tailKept] = '\0';
    return headLength + tailLength < pathSize;
}

}  // namespace

/// realpath writing into a caller's buffer assumes PATH_MAX bytes, more than the buffer holds
/// on Linux, so the result is taken from realpath's own allocation.
bool resolvePath(const char* path, char (&resolved)[pathSize]) {
    char* full = realpath(path, nullptr);
    if (full == nullptr) return false;
    size_t length = strlen(full);
    if (length < pathSize) memcpy(resolved, full, length + 1);
    free(full);
    if (length >= pathSize) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

bool bundlePaths(const char* executable, BundlePaths& paths) {
    // dirname may change the text it is given.
    char folder[pathSize];
    join(folder, executable, "");
    char resources[pathSize];
    char resolvedResources[pathSize];
    join(resources, dirname(folder), "/../Resources");
    if (!resolvePath(resources, resolvedResources)) return false;
    join(paths.interpreter, resolvedResources, "/python/bin/python3");
    join(paths.script, resolvedResources, "/app/server_main.py");
    return true;
}
