# Sourced by scripts/screenshot-menubar.sh, scripts/panel-check.sh and bench/menubar_footprint.sh:
# a scratch folder, clean-up of every process started, a virtual X display with trayer as the
# tray host, and the item's scripted surroundings. The caller sets `me` (the name in its
# messages) and `root` (the repository) before sourcing; `build` (the build folder) and `tray`
# (the built item) come from here.

build=${TESSAWAY_BUILD_DIR:-$root/build}
tray=$build/Tessaway.app/Contents/MacOS/tessaway-tray
work=$(mktemp -d)
pids=()
# Ends every process started so far.
end_started() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    pids=()
}
cleanup() {
    end_started
    rm -rf "$work"
}
trap cleanup EXIT

# output_folder FOLDER: FOLDER, made when missing, as an absolute path.
output_folder() {
    mkdir -p "$1" && cd "$1" && pwd
}

# require "PACKAGES" TOOL...: ends the script, naming the packages, when a tool is missing, or
# when the build is.
require() {
    local packages=$1 tool
    shift
    for tool in "$@"; do
        command -v "$tool" >/dev/null || {
            echo "$me: $tool is missing (apt-get install $packages)" >&2
            exit 1
        }
    done
    [ -x "$tray" ] || { echo "$me: build first ($tray is missing)" >&2; exit 1; }
}

wait_for() {
    for _ in $(seq 150); do
        if eval "$1"; then return 0; fi
        sleep 0.1
    done
    echo "$me: gave up waiting for: $1" >&2
    exit 1
}

# start_display WIDTHxHEIGHT: a free display number and Xvfb on it, exported as DISPLAY.
start_display() {
    local number=90
    while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do
        number=$((number + 1))
    done
    export DISPLAY=:$number
    Xvfb "$DISPLAY" -screen 0 "${1}x24" -nolisten tcp >"$work/xvfb-$number.log" 2>&1 &
    pids+=($!)
    wait_for 'xdotool getdisplaygeometry >/dev/null 2>&1'
}

# start_tray_host WIDTHxHEIGHT [TRAYER OPTIONS...]: start_display, and trayer as a bar across
# its top edge.
start_tray_host() {
    start_display "$1"
    shift
    trayer --edge top --align right --widthtype percent --width 100 --height 24 \
        --SetDockType true "$@" >"$work/trayer.log" 2>&1 &
    pids+=($!)
    wait_for 'xdotool search --name "^panel$" >/dev/null 2>&1'
}

# start_scripted_server FOLDER: the scripted service manager's state and a home in FOLDER, with
# an installed server definition whose port a stand-in server answers on (FOLDER/server/ping
# and FOLDER/server/setup script its answers). The server agent starts unloaded:
# `load_server FOLDER` loads it. Sets `item_env`: what the item's environment needs for them.
start_scripted_server() {
    local dir=$1
    mkdir -p "$dir/home/Library/LaunchAgents" "$dir/state" "$dir/run" "$dir/server"
    chmod 700 "$dir/run"
    python3 "$root/tests/doubles/test_http_server.py" "$dir/server" &
    pids+=($!)
    wait_for "[ -s '$dir/server/port' ]"
    printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict><key>Label</key><string>com.quorvel.tessaway-server</string><key>EnvironmentVariables</key><dict><key>TESSAWAY_PORT</key><string>%s</string></dict></dict></plist>\n' \
        "$(cat "$dir/server/port")" >"$dir/home/Library/LaunchAgents/com.quorvel.tessaway-server.plist"
    item_env=(HOME="$dir/home" XDG_RUNTIME_DIR="$dir/run"
              TESSAWAY_LAUNCHCTL="$root/tests/doubles/fake_launchctl"
              FAKE_LAUNCHCTL_STATE="$dir/state")
}

load_server() {
    mkdir -p "$1/state/loaded" && : >"$1/state/loaded/com.quorvel.tessaway-server"
}
