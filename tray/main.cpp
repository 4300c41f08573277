#include "identity.h"
#include "platform/system.h"

int main() {
    tessaway::fillIdentity();
    tessaway::platform::writeStandardError("tessaway-tray: no start-up mode is available in this build\n");
    return 0;
}
