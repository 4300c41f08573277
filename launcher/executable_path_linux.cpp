#include "launcher/executable_path.h"

#include <unistd.h>

bool executablePath(char* buffer, size_t size) {
    ssize_t length = readlink("/proc/self/exe", buffer, size);
    // readlink does not terminate the text, and a result that fills the buffer may be cut.
    if (length < 0 || static_cast<size_t>(length) >= size) return false;
    buffer[length] = '\0';
    return true;
}
