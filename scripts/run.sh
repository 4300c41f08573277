#!/usr/bin/env bash
# Sets everything up and builds the application bundle.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
app=${TESSAWAY_BUILD_DIR:-$root/build}/Tessaway.app
echo "Built $app:"
(cd "$app" && find . -type f -o -type l | sort | sed 's/^\./  /')
