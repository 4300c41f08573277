#pragma once

#include <stddef.h>

inline constexpr size_t pathSize = 1024;

/// Where the bundle keeps what the launcher starts.
struct BundlePaths {
    char interpreter[pathSize];
    char script[pathSize];
};

/// Resolves `path` into `resolved`, which must then fit; false with errno set otherwise.
bool resolvePath(const char* path, char (&resolved)[pathSize]);

/// Fills `paths` from the resolved path of the running executable (`Contents/MacOS/<name>`):
/// the interpreter and the server program under the bundle's `Contents/Resources`. False, with
/// errno set, when that Resources folder cannot be resolved.
bool bundlePaths(const char* executable, BundlePaths& paths);
