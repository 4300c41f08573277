#!/usr/bin/env bash
# Footprint of the menu-bar item, idle with the server running: average CPU over 60 seconds
# of polling every 5 seconds, and resident memory beside a bare Qt program that shows one
# tray icon with a seven-row menu (bench_bare_tray), both under the same Xvfb with trayer as
# the tray host. Then the menu-open latency with a server that never answers.
#
# Needs: xvfb trayer xdotool, and a build (scripts/build.sh).
# Usage: bench/menubar_footprint.sh [SECONDS]     (default 60)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TESSAWAY_BUILD_DIR:-$root/build}
seconds=${1:-60}
tray=$build/Tessaway.app/Contents/MacOS/tessaway-tray
bare=$build/bench/bench_bare_tray
latency=$build/bench/bench_menu_open_latency
fixtures=$root/tests/menubar/fixtures
for program in "$tray" "$bare" "$latency"; do
    [ -x "$program" ] || { echo "menubar_footprint: build first ($program is missing)" >&2; exit 1; }
done

me=menubar_footprint
# shellcheck source=../scripts/lib/tray_host.sh
. "$root/scripts/lib/tray_host.sh"
start_tray_host 640x400

mkdir -p "$work/home/Library/LaunchAgents" "$work/state" "$work/run" "$work/server"
chmod 700 "$work/run"
mkdir -p "$work/state/loaded" && : >"$work/state/loaded/com.quorvel.tessaway-server"
python3 "$fixtures/fake_server.py" "$work/server" &
pids+=($!)
wait_for '[ -s "$work/server/port" ]'
printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict><key>EnvironmentVariables</key><dict><key>TESSAWAY_PORT</key><string>%s</string></dict></dict></plist>\n' \
    "$(cat "$work/server/port")" >"$work/home/Library/LaunchAgents/com.quorvel.tessaway-server.plist"

env -i PATH="$PATH" DISPLAY="$DISPLAY" HOME="$work/home" XDG_RUNTIME_DIR="$work/run" \
    TESSAWAY_LAUNCHCTL="$root/tests/harness/fake_launchctl" FAKE_LAUNCHCTL_STATE="$work/state" \
    "$tray" --agent >"$work/item.log" 2>&1 &
item=$!
pids+=($item)
env -i PATH="$PATH" DISPLAY="$DISPLAY" HOME="$work/home" XDG_RUNTIME_DIR="$work/run" \
    "$bare" >"$work/bare.log" 2>&1 &
reference=$!
pids+=($reference)

ticks() { awk '{ print $14 + $15, $16 + $17 }' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
hz=$(getconf CLK_TCK)

sleep 5 # start-up is not idle time
read -r item0 children0 <<<"$(ticks "$item")"
read -r bare0 _ <<<"$(ticks "$reference")"
polls0=$(grep -c $'^print\tgui/' "$work/state/calls")
sleep "$seconds"
read -r item1 children1 <<<"$(ticks "$item")"
read -r bare1 _ <<<"$(ticks "$reference")"
polls1=$(grep -c $'^print\tgui/' "$work/state/calls")
item_rss=$(rss_kib "$item")
bare_rss=$(rss_kib "$reference")
# Resident pages of the files the item maps and the reference does not (libcurl and what it
# pulls in, libplist, the module, the core): where the difference comes from.
mapped_files() { awk '/^[0-9a-f]+-[0-9a-f]+ / { file = $6 } /^Rss:/ && file ~ /^\// { rss[file] += $2 }
    END { for (f in rss) print f, rss[f] }' "/proc/$1/smaps"; }
mapped_files "$reference" | sort >"$work/bare.maps"
mapped_files "$item" | sort >"$work/item.maps"
extra_rss=$(join -v 1 "$work/item.maps" "$work/bare.maps" | awk '{ s += $2 } END { print s + 0 }')
curl_rss=$(join -v 1 "$work/item.maps" "$work/bare.maps" |
    awk '/\.so/ && !/tessaway|libplist/ { s += $2 } END { print s + 0 }')

awk -v s="$seconds" -v hz="$hz" -v i0="$item0" -v i1="$item1" -v c0="$children0" \
    -v c1="$children1" -v b0="$bare0" -v b1="$bare1" -v polls=$((polls1 - polls0)) \
    -v irss="$item_rss" -v brss="$bare_rss" -v extra="$extra_rss" -v curl="$curl_rss" 'BEGIN {
    printf "idle over %d s, %d polls, server answering:\n", s, polls
    printf "  menu-bar item CPU     %.3f %% of one core (%d ticks of 1/%d s)\n", 100 * (i1 - i0) / hz / s, i1 - i0, hz
    printf "  its launchctl runs    %.3f %% (the scripted tool, waited for)\n", 100 * (c1 - c0) / hz / s
    printf "  bare reference CPU    %.3f %%\n", 100 * (b1 - b0) / hz / s
    printf "resident memory:\n"
    printf "  menu-bar item         %.1f MiB\n", irss / 1024
    printf "  bare reference        %.1f MiB\n", brss / 1024
    printf "  ratio                 %.2f (target at most 1.20)\n", irss / brss
    printf "  files only the item maps: %.1f MiB, of which libcurl and its dependencies %.1f MiB\n", extra / 1024, curl / 1024
}'

"$latency" 40 2>/dev/null
