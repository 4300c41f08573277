// The launcher's path handling: from its own resolved path to the interpreter and program.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "launcher/bundle_paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The launcher gets its path from realpath: NUL-terminated, shorter than its buffer.
    char path[pathSize];
    const size_t length = size < pathSize - 1 ? size : pathSize - 1;
    std::memcpy(path, data, length);
    path[length] = '\0';
    BundlePaths paths;
    if (bundlePaths(path, paths)) {
        if (std::strlen(paths.interpreter) >= pathSize || std::strlen(paths.script) >= pathSize) {
            __builtin_trap();
        }
    }
    return 0;
}
