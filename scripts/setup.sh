#!/usr/bin/env bash
# Installs the Debian packages that building and testing Tessaway need, when they are missing.
# As root it runs apt-get itself; otherwise it prints the command to run. Safe to run again.
set -euo pipefail

packages=(cmake g++ pkg-config libcurl4-openssl-dev nlohmann-json3-dev libplist-dev
          qt6-base-dev libgtest-dev libgmock-dev python3)
# Only for looking at the real menu-bar item (scripts/screenshot-menubar.sh); tests skip without
# them. clang and its runtime (libFuzzer, sanitizers) only for scripts/fuzz.sh.
optional=(xvfb trayer xdotool imagemagick clang libclang-rt-14-dev)

wanted=("${packages[@]}")
if [ "${TESSAWAY_SETUP_OPTIONAL:-1}" = 1 ]; then wanted+=("${optional[@]}"); fi

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
