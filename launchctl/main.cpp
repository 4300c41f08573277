#include "launchctl/commands.h"

int main(int argc, char** argv) {
    return tessaway::launchd::launchctlMain(argc, argv);
}
