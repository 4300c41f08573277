#pragma once

#include <stddef.h>

/// Writes the path of the running executable, NUL-terminated, into `buffer`. Returns false when
/// the platform cannot tell or the path does not fit in `size` bytes.
bool executablePath(char* buffer, size_t size);
