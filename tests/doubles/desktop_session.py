"""A desktop session of its own for one process test: a private session bus and a private X
display, and on demand the tray hosts a desktop would run, either a StatusNotifierWatcher with
its host (status_notifier_watcher.py) or trayer's XEmbed tray. Every process is ended by the
test's clean-up, also when the test fails."""

import os
import re
import select
import shutil
import signal
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
WATCHER = os.path.join(HERE, "status_notifier_watcher.py")

# A session bus that knows no activatable services: nothing starts on it unless the test
# starts it, whatever the machine has installed.
BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


def missing(*tools):
    """Why a test that needs `tools` (programs on PATH, or "gi" for Debian's python3-gi)
    cannot run here; None when it can."""
    absent = [t for t in tools if t != "gi" and shutil.which(t) is None]
    if "gi" in tools:
        try:
            import gi  # noqa: F401
        except ImportError:
            absent.append("python3-gi")
    if not absent:
        return None
    return f"needs {', '.join(absent)} (scripts/setup.sh installs what is missing)"


def read_line(stream, seconds):
    """One line from a pipe, or "" when none comes within `seconds`."""
    ready, _, _ = select.select([stream], [], [], seconds)
    return stream.readline().decode().strip() if ready else ""


class Watcher:
    """A running StatusNotifierWatcher and its host, with the registrations it received."""

    def __init__(self, session, record):
        self.record = record
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=session.bus_address)
        self.process = session.spawn([sys.executable, WATCHER, record], "watcher", env=env,
                                     stdout=subprocess.PIPE)
        if read_line(self.process.stdout, 15) != "ready":
            raise RuntimeError("the StatusNotifierWatcher did not start")

    def registrations(self):
        try:
            with open(self.record) as f:
                return [line.rstrip("\n").split("\t") for line in f]
        except FileNotFoundError:
            return []

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=15)


class DesktopSession:
    """The session of one test. `test` is the unittest.TestCase whose clean-up ends it all;
    `root` a folder of the test's own for sockets, records and logs."""

    def __init__(self, test, root):
        self.test = test
        self.root = root
        self.bus_address = None
        self.display = None
        self.watchers = 0

    def spawn(self, args, log, env=None, stdout=None, pass_fds=()):
        """Starts `args` with its output in ROOT/LOG.log (or `stdout`); the test ends it."""
        with open(os.path.join(self.root, log + ".log"), "ab") as out:
            process = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL,
                                       stdout=stdout or out, stderr=out, pass_fds=pass_fds,
                                       start_new_session=True)
        self.test.addCleanup(self._end, process)
        return process

    @staticmethod
    def _end(process):
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
        process.wait()
        if process.stdout:
            process.stdout.close()

    def start_bus(self):
        socket = os.path.join(self.root, "bus")
        config = os.path.join(self.root, "bus.conf")
        with open(config, "w") as f:
            f.write(BUS_CONFIG.format(socket=socket))
        process = self.spawn(["dbus-daemon", f"--config-file={config}", "--nofork",
                              "--nopidfile", "--print-address=1"], "dbus", stdout=subprocess.PIPE)
        self.bus_address = read_line(process.stdout, 15)
        if not self.bus_address:
            raise RuntimeError("the private session bus did not start")
        return self.bus_address

    def start_display(self):
        reader, writer = os.pipe()
        try:
            # Xvfb picks a free display number itself and writes it to `writer`.
            self.spawn(["Xvfb", "-displayfd", str(writer), "-nolisten", "tcp", "-screen", "0",
                        "640x400x24"], "xvfb", pass_fds=(writer,))
        finally:
            os.close(writer)
        with os.fdopen(reader, "rb") as numbers:
            number = read_line(numbers, 15)
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number
        return self.display

    def env(self):
        """What the item's environment gets from the session. Without a bus the address
        names a socket nobody listens on, so that no session bus is found elsewhere."""
        return {
            "DISPLAY": self.display,
            "DBUS_SESSION_BUS_ADDRESS": self.bus_address
            or "unix:path=" + os.path.join(self.root, "no-bus"),
            "QT_QPA_PLATFORM": "xcb",
        }

    def start_watcher(self):
        self.watchers += 1
        return Watcher(self, os.path.join(self.root, f"watcher-{self.watchers}.record"))

    def start_trayer(self):
        env = dict(os.environ, DISPLAY=self.display)
        return self.spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype",
                           "percent", "--width", "100", "--height", "24", "--SetDockType",
                           "true"], "trayer", env=env)

    def connect(self):
        """A connection of the test's own to the private bus (the panel's side)."""
        from gi.repository import Gio
        bus = Gio.DBusConnection.new_for_address_sync(
            self.bus_address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        self.test.addCleanup(bus.close_sync, None)
        return bus

    def embedded_icons(self, title):
        """Windows titled `title` that an XEmbed tray shows: an icon the tray has not
        embedded is never given a size."""
        tree = subprocess.run(["xwininfo", "-root", "-tree"], env=dict(os.environ,
                              DISPLAY=self.display), capture_output=True, text=True,
                              timeout=30).stdout
        sizes = re.findall(r'"' + re.escape(title) + r'": \([^)]*\)\s+(\d+)x(\d+)', tree)
        return [(int(w), int(h)) for w, h in sizes if int(w) > 1 and int(h) > 1]
