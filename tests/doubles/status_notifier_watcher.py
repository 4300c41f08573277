#!/usr/bin/python3
"""The desktop shell's side of the StatusNotifierItem protocol, for tests: owns
org.kde.StatusNotifierWatcher on the session bus named by DBUS_SESSION_BUS_ADDRESS, registers
itself as the host that shows the items, and keeps the list of registered items as a shell
does (an item whose bus name goes away is dropped).

Usage: status_notifier_watcher.py RECORD

Appends one line "SENDER<TAB>ARGUMENT" to RECORD for every RegisterStatusNotifierItem call,
prints "ready" once it owns the watcher's name and ends on SIGTERM or SIGINT."""
import os
import signal
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

WATCHER = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
ITEM_PATH = "/StatusNotifierItem"
INTERFACE = Gio.DBusNodeInfo.new_for_xml("""
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
    <signal name="StatusNotifierHostUnregistered"/>
  </interface>
</node>""").interfaces[0]


class Watcher:
    def __init__(self, bus, record):
        self.bus = bus
        self.record = record
        self.items = {}  # "NAME/PATH" -> the bus name that must stay for the item to stay
        self.host = f"org.kde.StatusNotifierHost-{os.getpid()}"
        bus.register_object(WATCHER_PATH, INTERFACE, self.call, self.get, None)
        bus.signal_subscribe("org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                             "/org/freedesktop/DBus", None, Gio.DBusSignalFlags.NONE,
                             self.owner_changed)

    def emit(self, name, parameters=None):
        self.bus.emit_signal(None, WATCHER_PATH, WATCHER, name, parameters)

    def call(self, bus, sender, path, interface, method, parameters, invocation):
        (argument,) = parameters.unpack()
        if method == "RegisterStatusNotifierItem":
            # Items name either their bus name (the object then sits at the usual path) or
            # only their object path, on the caller's own connection.
            name, item_path = (sender, argument) if argument.startswith("/") else (argument,
                                                                                   ITEM_PATH)
            key = name + item_path
            self.items[key] = name
            with open(self.record, "a") as f:
                f.write(f"{sender}\t{argument}\n")
            invocation.return_value(None)
            self.emit("StatusNotifierItemRegistered", GLib.Variant("(s)", (key,)))
        else:
            invocation.return_value(None)

    def get(self, bus, sender, path, interface, prop):
        if prop == "RegisteredStatusNotifierItems":
            return GLib.Variant("as", sorted(self.items))
        if prop == "IsStatusNotifierHostRegistered":
            return GLib.Variant("b", True)
        return GLib.Variant("i", 0)

    def owner_changed(self, bus, sender, path, interface, signal_name, parameters):
        name, _old, new = parameters.unpack()
        if new:
            return
        for key in [k for k, owner in self.items.items() if owner == name]:
            del self.items[key]
            self.emit("StatusNotifierItemUnregistered", GLib.Variant("(s)", (key,)))

    def acquired(self, bus, name):
        # The host lives in the same process, as the panel of a shell often does.
        Gio.bus_own_name_on_connection(bus, self.host, Gio.BusNameOwnerFlags.NONE, None, None)
        self.emit("StatusNotifierHostRegistered")
        print("ready", flush=True)


def main():
    loop = GLib.MainLoop()
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    watcher = Watcher(bus, sys.argv[1])

    def lost(_bus, _name):
        print("status_notifier_watcher: the watcher's name is taken", file=sys.stderr, flush=True)
        loop.quit()

    Gio.bus_own_name_on_connection(bus, WATCHER, Gio.BusNameOwnerFlags.NONE, watcher.acquired,
                                   lost)
    for number in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, number, loop.quit)
    loop.run()


if __name__ == "__main__":
    main()
