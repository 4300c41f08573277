#!/usr/bin/env bash
# Builds the Debian package of Tessaway from an optimised build of its own, without the tests,
# in build-package/ (or $TESSAWAY_PACKAGE_DIR), and prints the package's path. Install it with
#     sudo apt install ./build-package/tessaway_*.deb
# Extra arguments go to CMake. Safe to run again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${TESSAWAY_PACKAGE_DIR:-$root/build-package}
"$root/scripts/setup.sh" --package
# Debian's hardened build flags; CMake reads no CPPFLAGS, so the preprocessor's go with the
# compiler's.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_C_FLAGS="$(flags CPPFLAGS) $(flags CFLAGS)" \
    -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" \
    -DCMAKE_SHARED_LINKER_FLAGS="$(flags LDFLAGS)" \
    -DCMAKE_MODULE_LINKER_FLAGS="$(flags LDFLAGS)" "$@" >/dev/null
cmake --build "$out" -j "$(nproc)"
rm -f "$out"/tessaway_*.deb
cpack --config "$out/CPackConfig.cmake" -B "$out" >/dev/null
ls "$out"/tessaway_*.deb
