#!/usr/bin/env bash
# Screenshots of the real menu-bar item with its menu open, one PNG per state (paused,
# running, starting, not responding). Runs the item under Xvfb with trayer as the tray host,
# against a scripted service manager and a stand-in server, in a temporary home; nothing of
# the real user's is touched. Takes about 80 seconds: "not responding" needs more than a
# minute of failed pings.
#
# Needs: xvfb trayer xdotool imagemagick, and a build (scripts/build.sh).
# Usage: scripts/screenshot-menubar.sh [OUTPUT_FOLDER]     (default: build/screenshots)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

me=screenshot-menubar
# shellcheck source=lib/tray_host.sh
. "$root/scripts/lib/tray_host.sh"
out=$(output_folder "${1:-$build/screenshots}")
require "xvfb trayer xdotool x11-utils imagemagick" Xvfb trayer xdotool xwininfo import python3
# A light bar across the top of the screen, the icons on its right, as in a menu bar.
start_tray_host 480x300 --transparent true --alpha 0 --tint 0xececec

start_scripted_server "$work"

# No session bus (the address names a socket nobody serves): the item goes into trayer's
# XEmbed tray even where a desktop's StatusNotifierWatcher runs. scripts/tray_menu.py shows
# the item as the D-Bus desktops see it.
env -i PATH="$PATH" DISPLAY="$DISPLAY" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" \
    "${item_env[@]}" "$tray" --agent >"$work/item.log" 2>&1 &
pids+=($!)

# The item's window, once the tray host has embedded it: its centre on the screen.
icon_centre() {
    xwininfo -root -tree | awk '/"Tessaway Server": \("tessaway-tray"/ {
        split($(NF-1), size, "x"); split($NF, at, "+");
        if (size[1] > 1) { print at[2] + int(size[1] / 2), at[3] + int(size[2] / 2); exit } }'
}
wait_for '[ -n "$(icon_centre)" ]'
read -r x y <<<"$(icon_centre)"

shoot() {
    xdotool key Escape
    sleep 0.3
    xdotool mousemove "$x" "$y" click 1
    sleep 1.5 # the menu opens at once; the answers of the poll it starts follow
    import -window root "$out/menubar-$1.png"
    echo "$out/menubar-$1.png"
}

shoot paused
load_server "$work"
echo 200 >"$work/server/ping"
shoot running
echo 503 >"$work/server/ping"
shoot starting
sleep 62
shoot not-responding
