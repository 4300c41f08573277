#!/usr/bin/env bash
# Footprint of the menu-bar item, idle with the server running, beside a bare Qt program that
# shows one tray icon with a seven-row menu (bench_bare_tray), both under the same Xvfb with
# trayer as the tray host. Each has its menu opened once and closed first, as a user does;
# then the average CPU over SECONDS of polling every 5 seconds, and the resident memory of
# both at the end. Then the menu-open latency with a server that never answers.
#
# Needs: xvfb trayer xdotool x11-utils, and a build (scripts/build.sh).
# Usage: bench/menubar_footprint.sh [SECONDS]     (default 60)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}

me=menubar_footprint
# shellcheck source=../scripts/lib/tray_host.sh
. "$root/scripts/lib/tray_host.sh"
bare=$build/bench/bench_bare_tray
latency=$build/bench/bench_menu_open_latency
for program in "$tray" "$bare" "$latency"; do
    [ -x "$program" ] || { echo "$me: build first ($program is missing)" >&2; exit 1; }
done
start_tray_host 640x400

start_scripted_server "$work"
load_server "$work"

env -i PATH="$PATH" DISPLAY="$DISPLAY" "${item_env[@]}" "$tray" --agent >"$work/item.log" 2>&1 &
item=$!
pids+=($item)
env -i PATH="$PATH" DISPLAY="$DISPLAY" HOME="$work/home" XDG_RUNTIME_DIR="$work/run" \
    "$bare" >"$work/bare.log" 2>&1 &
reference=$!
pids+=($reference)

ticks() { awk '{ print $14 + $15, $16 + $17 }' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
hz=$(getconf CLK_TCK)

# The window the tray host embedded for program $1 (its class): its centre on the screen.
icon_centre() {
    xwininfo -root -tree | awk -v class="(\"$1\"" 'index($0, class) {
        split($(NF-1), size, "x"); split($NF, at, "+");
        if (size[1] > 1 && size[1] < 64) { print at[2] + int(size[1] / 2), at[3] + int(size[2] / 2); exit } }'
}
visible_windows() { { xdotool search --onlyvisible --classname "$1" 2>/dev/null || true; } | wc -l; }
# Opens the item's menu with the context click, waits until it shows, and closes it.
open_menu_once() {
    # wait_for evaluates its condition in its own scope: the program's name goes by `program`.
    local program=$1 x y before
    wait_for '[ -n "$(icon_centre "$program")" ]'
    read -r x y <<<"$(icon_centre "$program")"
    before=$(visible_windows "$program")
    xdotool mousemove "$x" "$y" click 3
    wait_for '[ "$(visible_windows "$program")" -gt "$before" ]'
    sleep 0.5
    xdotool key Escape
    wait_for '[ "$(visible_windows "$program")" -le "$before" ]'
}
open_menu_once tessaway-tray
open_menu_once bench_bare_tray

sleep 5 # start-up and the menus are not idle time
load=$(cut -d' ' -f1-3 /proc/loadavg)
read -r item0 children0 <<<"$(ticks "$item")"
read -r bare0 _ <<<"$(ticks "$reference")"
polls0=$(grep -c $'^print\tgui/' "$work/state/calls")
sleep "$seconds"
read -r item1 children1 <<<"$(ticks "$item")"
read -r bare1 _ <<<"$(ticks "$reference")"
polls1=$(grep -c $'^print\tgui/' "$work/state/calls")
item_rss=$(rss_kib "$item")
bare_rss=$(rss_kib "$reference")
# Resident pages of the files the item maps and the reference does not (libplist, the module,
# the core): where the difference comes from.
mapped_files() { awk '/^[0-9a-f]+-[0-9a-f]+ / { file = $6 } /^Rss:/ && file ~ /^\// { rss[file] += $2 }
    END { for (f in rss) print f, rss[f] }' "/proc/$1/smaps"; }
mapped_files "$reference" | sort >"$work/bare.maps"
mapped_files "$item" | sort >"$work/item.maps"
extra=$(join -v 1 "$work/item.maps" "$work/bare.maps" | sort -k2,2nr |
    awk '{ s += $2; n = split($1, p, "/"); list = list sprintf(" %s %.1f;", p[n], $2 / 1024) }
    END { printf "%.1f MiB:%s", s / 1024, list }')
# Files both map, by how many more resident pages the item has of them.
grown=$(join "$work/item.maps" "$work/bare.maps" | awk '$2 > $3 { print $1, $2 - $3 }' | sort -k2,2nr |
    head -6 | awk '{ n = split($1, p, "/"); printf " %s +%.1f;", p[n], $2 / 1024 }')
anon() { awk '/^(Anonymous|RssAnon):/ { print $2; exit }' "/proc/$1/status"; }

awk -v s="$seconds" -v hz="$hz" -v i0="$item0" -v i1="$item1" -v c0="$children0" \
    -v c1="$children1" -v b0="$bare0" -v b1="$bare1" -v polls=$((polls1 - polls0)) \
    -v irss="$item_rss" -v brss="$bare_rss" -v extra="$extra" -v load="$load" \
    -v ianon="$(anon "$item")" -v banon="$(anon "$reference")" -v grown="$grown" 'BEGIN {
    printf "idle over %d s, %d polls, server answering (load average at the start: %s):\n", s, polls, load
    printf "  menu-bar item CPU     %.3f %% of one core (%d ticks of 1/%d s; target under 0.1 %%)\n", 100 * (i1 - i0) / hz / s, i1 - i0, hz
    printf "  its launchctl runs    %.3f %% (the scripted tool, waited for)\n", 100 * (c1 - c0) / hz / s
    printf "  bare reference CPU    %.3f %%\n", 100 * (b1 - b0) / hz / s
    printf "resident memory, each after its menu was opened once and closed:\n"
    printf "  menu-bar item         %.1f MiB (anonymous %.1f MiB)\n", irss / 1024, ianon / 1024
    printf "  bare reference        %.1f MiB (anonymous %.1f MiB)\n", brss / 1024, banon / 1024
    printf "  ratio                 %.3f (target at most 1.05)\n", irss / brss
    printf "  files only the item maps: %s\n", extra
    printf "  files both map, more of them resident in the item (MiB):%s\n", grown
}'

"$latency" 40 2>/dev/null
