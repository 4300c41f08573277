# Sourced by scripts/screenshot-menubar.sh and bench/menubar_footprint.sh: a scratch folder,
# clean-up of every process started, and a virtual X display with trayer as the tray host.
# The caller sets `me` (the name in its messages) before sourcing.

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

wait_for() {
    for _ in $(seq 150); do
        if eval "$1"; then return 0; fi
        sleep 0.1
    done
    echo "$me: gave up waiting for: $1" >&2
    exit 1
}

# start_tray_host WIDTHxHEIGHT [TRAYER OPTIONS...]: a free display number, Xvfb on it
# (exported as DISPLAY), and trayer as a bar across its top edge.
start_tray_host() {
    local size=$1
    shift
    local number=90
    while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do
        number=$((number + 1))
    done
    export DISPLAY=:$number
    Xvfb "$DISPLAY" -screen 0 "${size}x24" -nolisten tcp >"$work/xvfb.log" 2>&1 &
    pids+=($!)
    wait_for 'xdotool getdisplaygeometry >/dev/null 2>&1'
    trayer --edge top --align right --widthtype percent --width 100 --height 24 \
        --SetDockType true "$@" >"$work/trayer.log" 2>&1 &
    pids+=($!)
    wait_for 'xdotool search --name "^panel$" >/dev/null 2>&1'
}
