#!/usr/bin/env bash
# Tries the menu-bar item under panels that people use, as a new user would meet it: trayer
# (an XEmbed tray), Xfce's panel with xfce4-sntray-plugin, LXQt's panel and waybar on a
# headless sway, each dark, each on a virtual display of its own with a private session bus.
# For each it writes screenshots of the idle item and of the menus that its left and right
# clicks open, and a text file with where the item and each opened window sit. Runs the item
# against the scripted service manager and a stand-in server in a temporary home; panels that
# are not installed are skipped. Not part of the tests: look at the pictures.
#
# Needs: xvfb xdotool x11-utils imagemagick dbus, a build (scripts/build.sh), and the panels:
#   trayer | xfce4-panel xfce4-sntray-plugin | lxqt-panel | sway waybar grim (run as root: sway
#   runs as the unprivileged user "tessaway-panel", made with useradd when missing)
# Usage: scripts/panel-check.sh [OUTPUT_FOLDER [PANEL...]]
#   OUTPUT_FOLDER defaults to build/panel-check; PANEL is trayer, xfce, lxqt or sway (all four
#   when none is named).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
panel_user=tessaway-panel

me=panel-check
# shellcheck source=lib/tray_host.sh
. "$root/scripts/lib/tray_host.sh"
out=$(output_folder "${1:-$build/panel-check}")
require "xvfb xdotool x11-utils imagemagick dbus" Xvfb xdotool xwininfo import convert \
    dbus-daemon python3
chmod 755 "$work"

# skip NAME PROGRAM...: true (and says so) when one of the programs is missing.
skip() {
    local name=$1 program
    shift
    for program in "$@"; do
        if ! command -v "$program" >/dev/null; then
            echo "$name: skipped, $program is not installed"
            return 0
        fi
    done
    return 1
}

# The box of whatever differs from the panel's own colour inside the strip HEIGHT pixels high
# at the top of picture FILE, as "WIDTH HEIGHT X Y": the panels here hold nothing but the tray.
mark_box() {
    convert "$1" -crop "x$2+0+0" +repage -fuzz 12% -trim -format '%w %h %X %Y' info:- |
        tr -d '+'
}

# Centre of the mark in FILE's top HEIGHT pixels, as "X Y".
mark_centre() {
    local w h x y
    read -r w h x y <<<"$(mark_box "$1" "$2")"
    echo $((x + w / 2)) $((y + h / 2))
}

# The X windows that show now, with their place, one line each (the panel's own included).
x_windows() {
    local id
    for id in $(xdotool search --onlyvisible --name '' 2>/dev/null); do
        xwininfo -id "$id" | awk -v id="$id" '
            /^xwininfo:/ { $1 = $2 = $3 = ""; name = $0 }
            /Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
            /Width:/ { w = $NF } /Height:/ { h = $NF }
            END { printf "  window %s at %d,%d size %dx%d%s\n", id, x, y, w, h, name }'
    done
}

# x_session PANEL: the item's scripted surroundings in $work/PANEL, a display, and a session
# bus whose services (a panel's settings daemon, say) start with the session's environment;
# sets `session_env` for every program of the session.
x_session() {
    local dir=$work/$1
    mkdir -p "$dir/config"
    start_scripted_server "$dir"
    load_server "$dir"
    start_display 800x500
    session_env=(PATH="$PATH" DISPLAY="$DISPLAY" XDG_CONFIG_HOME="$dir/config" LANG=C.UTF-8
                 "${item_env[@]}")
    env -i "${session_env[@]}" dbus-daemon --session --nofork --print-address=3 3>"$dir/bus" \
        >/dev/null 2>&1 &
    pids+=($!)
    wait_for "[ -s '$dir/bus' ]"
    session_env+=(DBUS_SESSION_BUS_ADDRESS="$(head -n1 "$dir/bus")")
}

start_item() {
    env -i "${session_env[@]}" "$tray" --agent >"$work/$1/item.log" 2>&1 &
    pids+=($!)
}

# x_clicks PANEL HEIGHT: screenshots of the panel PANEL (a bar HEIGHT pixels high at the top)
# with the idle item, with the menu of a left click on it, with that menu again after start
# at login was switched off from outside (a poll later, for the check mark), with the menu of
# a right click, and with the item dimmed once the server is paused.
x_clicks() {
    local name=$1 height=$2 x y shot
    local report=$out/$name.txt
    import -window root "$out/$name-idle.png"
    read -r x y <<<"$(mark_centre "$out/$name-idle.png" "$height")"
    {
        echo "$name: panel ${height} px high at the top; item centred at $x,$y"
        echo "  mark box (w h x y): $(mark_box "$out/$name-idle.png" "$height")"
    } >"$report"
    for shot in left-click left-click-after-login-off right-click; do
        if [ "$shot" = left-click-after-login-off ]; then
            env -i "${session_env[@]}" "$tray" --ctl login-off >/dev/null
            sleep 6 # one poll
        fi
        xdotool mousemove "$x" "$y" click "$([ "$shot" = right-click ] && echo 3 || echo 1)"
        sleep 2 # the menu opens at once; the answers of the poll it starts follow
        import -window root "$out/$name-$shot.png"
        { echo "$shot:"; x_windows; } >>"$report"
        xdotool key Escape
        sleep 0.5
        xdotool mousemove 400 400 click 1 # a click elsewhere closes what Escape did not
        sleep 0.5
    done
    # Paused: the next poll dims the item.
    rm "$work/$name/state/loaded/com.quorvel.tessaway-server"
    sleep 7
    import -window root "$out/$name-idle-dimmed.png"
    echo "$name: $out/$name-*.png, $report"
}

check_trayer() {
    skip trayer trayer && return
    x_session trayer
    trayer --edge top --align right --widthtype percent --width 100 --height 24 \
        --SetDockType true --transparent true --alpha 0 --tint 0x202020 \
        >"$work/trayer/trayer.log" 2>&1 &
    pids+=($!)
    wait_for 'xdotool search --name "^panel$" >/dev/null 2>&1'
    # No bus: trayer shows XEmbed icons only.
    session_env+=(DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus")
    start_item trayer
    wait_for "xwininfo -root -tree | grep -q '\"Tessaway Server\": (\"tessaway-tray\"'"
    sleep 1
    x_clicks trayer 24
    end_started
}

check_xfce() {
    skip xfce xfce4-panel && return
    [ -e /usr/share/xfce4/panel/plugins/sntray.desktop ] || {
        echo "xfce: skipped, xfce4-sntray-plugin is not installed"
        return
    }
    x_session xfce
    local settings=$work/xfce/config/xfce4/xfconf/xfce-perchannel-xml
    mkdir -p "$settings"
    # One dark panel along the top, 32 pixels high, holding nothing but the StatusNotifier tray.
    cat >"$settings/xfce4-panel.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="dark-mode" type="bool" value="true"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="32"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="sntray"/>
  </property>
</channel>
XML
    # Xfce's own window manager: without one, the panel's menus open at the screen's corner.
    if command -v xfwm4 >/dev/null; then
        env -i "${session_env[@]}" xfwm4 >"$work/xfce/xfwm4.log" 2>&1 &
        pids+=($!)
    fi
    env -i "${session_env[@]}" xfce4-panel >"$work/xfce/panel.log" 2>&1 &
    pids+=($!)
    wait_for 'xdotool search --onlyvisible --class "xfce4-panel" >/dev/null 2>&1'
    start_item xfce
    sleep 5
    x_clicks xfce 32
    end_started
}

check_lxqt() {
    skip lxqt lxqt-panel && return
    x_session lxqt
    local settings=$work/lxqt/config/lxqt
    mkdir -p "$settings"
    # LXQt's dark theme; one panel along the top, 32 pixels high, with only the tray.
    printf '[General]\ntheme=dark\n' >"$settings/lxqt.conf"
    cat >"$settings/panel.conf" <<'CONF'
[General]
__userfile__=true
panels=panel1

[panel1]
alignment=-1
panelSize=32
iconSize=22
lineCount=1
plugins=statusnotifier
position=Top
width=100
widthPercent=true

[statusnotifier]
type=statusnotifier
CONF
    env -i "${session_env[@]}" XDG_CURRENT_DESKTOP=LXQt lxqt-panel >"$work/lxqt/panel.log" 2>&1 &
    pids+=($!)
    wait_for 'xdotool search --onlyvisible --class "lxqt-panel" >/dev/null 2>&1'
    start_item lxqt
    sleep 5
    x_clicks lxqt 32
    end_started
}

# Runs a program of the sway session as its user, with the session's environment.
as_panel_user() {
    (panel_exec "$@")
}

# Becomes a program of the sway session: `panel_exec PROGRAM... &` leaves the program's own
# process id in $!, for the clean-up (setpriv and env replace themselves with it).
panel_exec() {
    if [ "$(id -u)" = 0 ]; then
        exec setpriv --reuid="$panel_user" --regid="$panel_user" --init-groups -- \
            env -i "${session_env[@]}" "$@"
    fi
    exec env -i "${session_env[@]}" "$@"
}

# A headless sway has no pointer of its own (and `swaymsg seat - cursor` clicks reach no
# client of a seat without one): a virtual pointer device stands in for the mouse.
# sway_click X Y BUTTON (left, right) clicks it and returns once sway has handled the click.
sway_click() {
    echo "click $1 $2 $3" >&"${pointer[1]}"
    read -r -t 20 _ <&"${pointer[0]}"
}

# The windows in sway's tree with their places, one line each.
sway_windows() {
    as_panel_user swaymsg -t get_tree | python3 -c '
import json, sys
def walk(node):
    if node.get("pid"):
        r = node["rect"]
        name = node.get("app_id") or node.get("name")
        print("  window %s: %dx%d at %d,%d" % (name, r["width"], r["height"], r["x"], r["y"]))
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        walk(child)
walk(json.load(sys.stdin))'
}

check_sway() {
    skip sway sway swaymsg waybar grim && return
    local dir=$work/sway x y shot report=$out/sway.txt
    # sway refuses to run as root: the whole session runs as an unprivileged user.
    if [ "$(id -u)" = 0 ] && ! id "$panel_user" >/dev/null 2>&1; then
        useradd --no-create-home --shell /usr/sbin/nologin "$panel_user"
    fi
    mkdir -p "$dir/config/waybar"
    start_scripted_server "$dir"
    load_server "$dir"
    cat >"$dir/sway.conf" <<'CONF'
output * resolution 800x500 bg #3a3a3a solid_color
bar {
    swaybar_command waybar
}
CONF
    # A bar along the top, 30 pixels high, with nothing but the tray (waybar's own dark look).
    printf '{"layer": "top", "position": "top", "height": 30, "modules-right": ["tray"],
             "tray": {"icon-size": 18, "spacing": 8}}\n' >"$dir/config/waybar/config"
    if [ "$(id -u)" = 0 ]; then chown -R "$panel_user" "$dir"; fi
    session_env=(PATH="$PATH" HOME="$dir/home" XDG_RUNTIME_DIR="$dir/run"
                 XDG_CONFIG_HOME="$dir/config" LANG=C.UTF-8 "${item_env[@]}")
    panel_exec dbus-daemon --session --nofork --print-address=3 3>"$dir/bus" \
        >/dev/null 2>&1 &
    pids+=($!)
    wait_for "[ -s '$dir/bus' ]"
    session_env+=(DBUS_SESSION_BUS_ADDRESS="$(head -n1 "$dir/bus")")
    panel_exec WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 sway -c "$dir/sway.conf" \
        >"$dir/sway.log" 2>&1 &
    pids+=($!)
    wait_for "ls '$dir/run'/sway-ipc.*.sock >/dev/null 2>&1 && ls '$dir/run'/wayland-? >/dev/null 2>&1"
    session_env+=(SWAYSOCK="$(ls "$dir/run"/sway-ipc.*.sock | head -n1)"
                  WAYLAND_DISPLAY="$(basename "$(ls -d "$dir/run"/wayland-? | head -n1)")")
    coproc pointer { panel_exec python3 "$root/scripts/lib/wl_pointer.py" 800 500; }
    pids+=("$pointer_PID")
    read -r -t 20 _ <&"${pointer[0]}"
    # What the bar asks of the item when clicked, for the report.
    : >"$out/sway-dbus.txt"
    panel_exec dbus-monitor --session "interface='org.kde.StatusNotifierItem'" \
        "interface='com.canonical.dbusmenu'" >>"$out/sway-dbus.txt" 2>&1 &
    pids+=($!)
    sleep 3 # waybar comes up
    panel_exec QT_QPA_PLATFORM=wayland "$tray" --agent >"$dir/item.log" 2>&1 &
    pids+=($!)
    sleep 12
    as_panel_user grim "$dir/idle.png" && cp "$dir/idle.png" "$out/sway-idle.png"
    read -r x y <<<"$(mark_centre "$out/sway-idle.png" 30)"
    {
        echo "sway: waybar 30 px high at the top; item centred at $x,$y"
        echo "  mark box (w h x y): $(mark_box "$out/sway-idle.png" 30)"
    } >"$report"
    for shot in left-click left-click-after-login-off right-click; do
        if [ "$shot" = left-click-after-login-off ]; then
            as_panel_user "$tray" --ctl login-off >/dev/null
            sleep 6 # one poll
        fi
        echo "== $shot" >>"$out/sway-dbus.txt"
        sway_click "$x" "$y" "$([ "$shot" = right-click ] && echo right || echo left)"
        sleep 2
        as_panel_user grim "$dir/$shot.png" && cp "$dir/$shot.png" "$out/sway-$shot.png"
        { echo "$shot:"; sway_windows; } >>"$report"
        sway_click 400 400 left # closes the menu
        sleep 1
        as_panel_user grim "$dir/closed.png" && cp "$dir/closed.png" "$out/sway-$shot-closed.png"
    done
    rm "$dir/state/loaded/com.quorvel.tessaway-server"
    sleep 7
    as_panel_user grim "$dir/dimmed.png" && cp "$dir/dimmed.png" "$out/sway-idle-dimmed.png"
    cp "$dir/item.log" "$out/sway-item.log"
    echo "sway: $out/sway-*.png, $report"
    end_started
}

panels=("${@:2}")
[ ${#panels[@]} -gt 0 ] || panels=(trayer xfce lxqt sway)
for panel in "${panels[@]}"; do
    case $panel in
    trayer | xfce | lxqt | sway) "check_$panel" ;;
    *) echo "$me: no panel named $panel (trayer, xfce, lxqt, sway)" >&2 && exit 2 ;;
    esac
done
