#!/usr/bin/python3
"""Shows the menu-bar item as the desktop sees it over D-Bus: the StatusNotifierItem that
Tessaway Server registered with the desktop's StatusNotifierWatcher (KDE Plasma, GNOME with
AppIndicator, Xfce, LXQt, Cinnamon, waybar...), its title, tooltip and icon, and the menu it
exports (com.canonical.dbusmenu), one line per entry with its state.

Usage: scripts/tray_menu.py [--open] [--ids] [--all]
  --open   first tell the item that its menu opens, as the panel does when it is clicked:
           the Start at Login check mark is read again and the server is asked at once
  --ids    show each entry's id, as the panel names it in its calls
  --all    show every item the watcher knows, not only Tessaway Server's

Talks to the session bus of DBUS_SESSION_BUS_ADDRESS. Needs Debian's python3-gi. Exits with 1
when no watcher runs or no item matches. The tests read the item through the same code.
"""
import argparse
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

WATCHER = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
ITEM_PATH = "/StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
PROPERTIES = "org.freedesktop.DBus.Properties"
TITLE = "Tessaway Server"
TIMEOUT_MS = 5000
LABEL_WIDTH = 40


def call(bus, name, path, interface, method, parameters=None, reply="()"):
    """One method call; the reply unpacked into Python values. Raises GLib.Error."""
    result = bus.call_sync(name, path, interface, method, parameters,
                           GLib.VariantType(reply) if reply else None,
                           Gio.DBusCallFlags.NO_AUTO_START, TIMEOUT_MS, None)
    return result.unpack() if result is not None else None


def registered_items(bus):
    """(bus name, object path) of every item the watcher knows. Watchers keep either
    "NAME/PATH" or the bare bus name, whose item then sits at the usual path."""
    (entries,) = call(bus, WATCHER, WATCHER_PATH, PROPERTIES, "Get",
                      GLib.Variant("(ss)", (WATCHER, "RegisteredStatusNotifierItems")), "(v)")
    items = []
    for entry in entries:
        name, slash, path = entry.partition("/")
        items.append((name, "/" + path if slash else ITEM_PATH))
    return items


class TrayItem:
    """One StatusNotifierItem and its exported menu, read and driven as a panel does."""

    def __init__(self, bus, name, path=ITEM_PATH):
        self.bus, self.name, self.path = bus, name, path

    def properties(self):
        (values,) = call(self.bus, self.name, self.path, PROPERTIES, "GetAll",
                         GLib.Variant("(s)", (ITEM,)), "(a{sv})")
        return values

    def menu_path(self):
        return self.properties().get("Menu", "/")

    def layout(self):
        """The menu as nested (id, properties, children) tuples."""
        _revision, root = call(self.bus, self.name, self.menu_path(), MENU, "GetLayout",
                               GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))")
        return root

    def entries(self):
        """The top-level entries of the menu as (id, properties)."""
        return [(entry_id, props) for entry_id, props, _children in self.layout()[2]]

    def entry_id(self, label):
        for entry_id, props in self.entries():
            if props.get("label") == label:
                return entry_id
        raise LookupError(f"no menu entry {label!r}")

    def about_to_show(self, entry_id=0):
        """What a panel sends when the user opens the menu."""
        (update,) = call(self.bus, self.name, self.menu_path(), MENU, "AboutToShow",
                         GLib.Variant("(i)", (entry_id,)), "(b)")
        return update

    def event(self, entry_id, event_id="clicked"):
        """What a panel sends when the user chooses an entry."""
        call(self.bus, self.name, self.menu_path(), MENU, "Event",
             GLib.Variant("(isvu)", (entry_id, event_id, GLib.Variant("i", 0), 0)), "()")

    def click(self, label):
        self.event(self.entry_id(label))


def find_items(bus, every=False):
    items = [TrayItem(bus, name, path) for name, path in registered_items(bus)]
    if every:
        return items
    return [item for item in items if item.properties().get("Title") == TITLE]


def icon_text(props):
    """The item's themed icon, the sizes of its pictures and how opaque the largest is: a
    dimmed item is faint."""
    name = props.get("IconName") or ""
    pixmaps = props.get("IconPixmap") or []
    parts = [name] if name else []
    if pixmaps:
        sizes = " ".join(f"{w}x{h}" for w, h, _data in pixmaps)
        _w, _h, data = max(pixmaps, key=lambda p: p[0] * p[1])
        # ARGB32 in network byte order: the alpha is the first byte of every pixel.
        opacity = round(100 * max(data[0::4], default=0) / 255)
        parts.append(f"{sizes}, {opacity}% opaque")
    return ", ".join(parts) or "none"


def entry_text(entry_id, props, ids):
    prefix = f"{entry_id:>4}  " if ids else ""
    if props.get("type") == "separator":
        return prefix + "\u2500" * 12
    label = props.get("label", "")
    # Mnemonics: "_" marks the next letter, "__" stands for itself.
    label = label.replace("__", "\0").replace("_", "").replace("\0", "_")
    mark = "    "
    if props.get("toggle-type") == "checkmark":
        mark = "[x] " if props.get("toggle-state") == 1 else "[ ] "
    flags = []
    if not props.get("enabled", True):
        flags.append("disabled")
    if not props.get("visible", True):
        flags.append("hidden")
    for keys in props.get("shortcut", []):
        flags.append("+".join(keys))
    text = prefix + mark + label
    if flags:
        text = text.ljust(len(prefix) + LABEL_WIDTH) + "  " + ", ".join(flags)
    return text.rstrip()


def dump(item, ids=False):
    """The item and its menu as text, the same for the same state."""
    props = item.properties()
    tooltip = props.get("ToolTip") or ("", [], "", "")
    lines = [
        f"title:   {props.get('Title', '')}",
        f"tooltip: {' / '.join(t for t in tooltip[2:] if t)}",
        f"status:  {props.get('Status', '')}",
        f"icon:    {icon_text(props)}",
        "menu:",
    ]
    lines += ["  " + entry_text(entry_id, entry_props, ids)
              for entry_id, entry_props in item.entries()]
    return "\n".join(lines) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--open", action="store_true")
    parser.add_argument("--ids", action="store_true")
    parser.add_argument("--all", action="store_true")
    options = parser.parse_args(argv)
    try:
        bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        items = find_items(bus, options.all)
    except GLib.Error as error:
        print(f"tray_menu: no StatusNotifierWatcher answers on the session bus: {error.message}",
              file=sys.stderr)
        return 1
    if not items:
        print(f"tray_menu: the watcher knows no {TITLE} item", file=sys.stderr)
        return 1
    for index, item in enumerate(items):
        if index:
            print()
        print(f"{item.name}{item.path}")
        try:
            if options.open:
                item.about_to_show()
            sys.stdout.write(dump(item, options.ids))
        except GLib.Error as error:
            print(f"  cannot read it: {error.message}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
