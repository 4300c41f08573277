#!/usr/bin/env bash
# Installs the Debian packages that building and testing Tessaway need, when they are missing;
# with --package only those that building its Debian package needs (scripts/package.sh).
# As root it runs apt-get itself; otherwise it prints the command to run. Safe to run again.
set -euo pipefail

build=(cmake g++ pkg-config libboost-dev nlohmann-json3-dev libplist-dev qt6-base-dev python3
       # CPack's Debian generator: dpkg-shlibdeps for the dependencies, file to find programs
       dpkg-dev file
       # the bundle's launchctl drives systemd's user manager over D-Bus (sd-bus)
       libsystemd-dev)
tests=(libgtest-dev libgmock-dev
       # the menu-bar item over D-Bus: a private session bus per test, the test panel and
       # scripts/tray_menu.py use Debian's GObject bindings
       dbus python3-gi
       # the setup page in a real browser: headless Chromium driven over WebDriver
       chromium chromium-driver python3-selenium
       # the package's checks: Debian's rules, the menu entry, the AppStream metadata
       lintian desktop-file-utils appstream
       # a private systemd user manager per test, with its session bus
       systemd dbus-user-session)
# The real menu-bar item on a virtual display, with or without an XEmbed tray (the item's
# process tests, scripts/screenshot-menubar.sh); the tests that need them skip without them.
# clang and its runtime (libFuzzer, sanitizers) only for scripts/fuzz.sh.
optional=(xvfb trayer xdotool x11-utils imagemagick clang libclang-rt-14-dev)

wanted=("${build[@]}")
if [ "${1:-}" != --package ]; then
    wanted+=("${tests[@]}")
    if [ "${TESSAWAY_SETUP_OPTIONAL:-1}" = 1 ]; then wanted+=("${optional[@]}"); fi
fi

missing=()
for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: all packages present"
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]}"
    echo "setup: run: sudo apt-get update && sudo apt-get install -y ${missing[*]}"
    exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q "${missing[@]}"
