"""The menu-bar item as the desktops that speak D-Bus see it: tessaway-tray on a private X
display and a private session bus, a StatusNotifierWatcher and host standing in for the panel
of a desktop shell, and the item read and driven through the same code as scripts/tray_menu.py.
Also the desktop with no tray host at all, and hosts that start late or restart."""

import fcntl
import functools
import os
import struct
import subprocess
import sys
import time
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, os.path.join(HERE, "..", "..", "doubles"))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from desktop_session import DesktopSession, missing  # noqa: E402
from harness import APP, SERVER_LABEL, TRAY, BundleTestCase, wait_for  # noqa: E402

try:
    from gi.repository import GLib
    import tray_menu
except ImportError:  # the tests that need them skip, saying why
    GLib = tray_menu = None

TEMPLATE = os.path.join(ROOT, "bundle", "TrayTemplate.png")
ICON, DIMMED_ICON = "tessaway-server-symbolic", "tessaway-server-dimmed-symbolic"
NO_TRAY = ("tessaway-tray: no system tray is available; "
           "the menu-bar item will appear when one starts")
SEPARATOR = "  " + "\u2500" * 12


def expected_dump(status, detail, pause, *, paused=False, dimmed=False, login=True):
    """The dump of the item in one state, written out as a person reads the menu."""
    def row(mark, label, *flags):
        text = "  " + mark + label
        return (text.ljust(2 + 40) + "  " + ", ".join(flags)).rstrip() if flags else text

    blocked = ("disabled",) if paused else ()
    detail_flags = ("disabled", "hidden") if not detail else ("disabled",)
    return "\n".join([
        "title:   Tessaway Server",
        "tooltip: Tessaway Server",
        "status:  Active",
        f"icon:    {DIMMED_ICON if dimmed else ICON}, 18x18 36x36, {35 if dimmed else 100}% opaque",
        "menu:",
        row("    ", status, "disabled"),
        row("    ", detail, *detail_flags),
        SEPARATOR,
        row("    ", "Open Setup / Dashboard", *blocked),
        row("    ", "Add Media Folder\u2026", *blocked),
        SEPARATOR,
        row("    ", pause),
        row("[x] " if login else "[ ] ", "Start at Login"),
        SEPARATOR,
        row("    ", "Quit Tessaway Server", "Control+Q"),
    ]) + "\n"


def paused(login=True):
    return expected_dump("Tessaway Server: Paused", "Sharing is off until you resume it",
                         "Resume Sharing", paused=True, dimmed=True, login=login)


PAUSED = paused()
STARTING = expected_dump("Tessaway Server: Starting\u2026", "Waiting for the server to answer",
                         "Pause Sharing")
NOT_RESPONDING = expected_dump("Tessaway Server: Not responding",
                               "See ~/Library/Logs/Tessaway/server.log", "Pause Sharing",
                               dimmed=True)


def running(detail):
    return expected_dump("Tessaway Server: Running", detail, "Pause Sharing")


# What the exported menu adds to the setup status the server reports (the texts themselves are
# the core's): an empty detail line is hidden, and a name keeps the characters that mark
# mnemonics in menus ("&" and "_").
RUNNING_ROWS = [
    ("nothing known", "{}", ""),
    ("mnemonic marks", '{"server_name": "Tom & Jerry_s & Co"}', "Tom & Jerry_s & Co"),
]


def png_alpha(path):
    """The alpha channel of an 8-bit grey-and-alpha PNG without interlacing, row by row."""
    with open(path, "rb") as f:
        data = f.read()
    pos, idat, width, height = 8, b"", 0, 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert (depth, colour) == (8, 4), "not 8-bit grey and alpha"
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw, stride, rows, previous = zlib.decompress(idat), width * 2, [], bytearray(width * 2)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            left = line[i - 2] if i >= 2 else 0
            up, corner = previous[i], previous[i - 2] if i >= 2 else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc
                                      else corner)) & 255
        rows.append(list(line[1::2]))
        previous = line
    return rows


def luminance(rgb):
    """Relative luminance of an sRGB colour given as 0-255 channels."""
    def linear(c):
        c /= 255
        return c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4
    r, g, b = (linear(c) for c in rgb)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def legibility(pixels, background):
    """How well a picture (ARGB32, network byte order) reads on `background`: the contrast
    ratio to the background that at least a quarter of its drawn pixels reach, once laid over
    it."""
    ground = luminance(background)
    ratios = []
    for i in range(0, len(pixels), 4):
        alpha = pixels[i] / 255
        if alpha == 0:
            continue
        shown = [alpha * c + (1 - alpha) * b for c, b in zip(pixels[i + 1:i + 4], background)]
        light, dark = sorted((luminance(shown), ground), reverse=True)
        ratios.append((light + 0.05) / (dark + 0.05))
    ratios.sort(reverse=True)
    return ratios[len(ratios) // 4]


def hold_lock(test, path):
    """Holds the lock file at `path` as another process would, until the test ends."""
    os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
    holder = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
    test.addCleanup(os.close, holder)
    fcntl.flock(holder, fcntl.LOCK_EX)


@unittest.skipUnless(APP, "run through ctest, which names the built bundle")
class DesktopTestCase(BundleTestCase):
    """The item under test on a desktop of its own: private bus and display, the scripted
    service manager with the server agent loaded, and a scripted server that answers."""

    maxDiff = None
    tools = ("dbus-daemon", "Xvfb", "gi")
    with_bus = True
    scripted = True  # the scripted service manager and server; else the whole product

    def setUp(self):
        super().setUp()
        reason = missing(*self.tools)
        if reason:
            self.skipTest(reason)
        if not self.scripted:
            # Its clean-up comes last: it checks that no process of the test is left.
            self.use_service_manager()
        self.session = DesktopSession(self, self.root)
        if self.with_bus:
            self.session.start_bus()
        self.session.start_display()
        self.env.update(self.session.env())
        if not self.scripted:
            return
        self.server = self.start_server()
        self.server.respond("GET", "/api/ping", 200, "pong")
        self.server.respond("GET", "/api/setup/status", 200, '{"server_name": "Den"}')
        self.set_loaded()

    def start_item(self):
        self.item_log = os.path.join(self.root, "item.log")
        self.started = time.monotonic()
        return self.session.spawn([TRAY, "--agent"], "item", env=self.env)

    def item_stderr(self):
        with open(self.item_log, encoding="utf-8", errors="replace") as f:
            return f.read()

    def registered_item(self, watcher, count=1):
        """The item once `watcher` has received its `count`th registration."""
        self.assertTrue(wait_for(lambda: len(watcher.registrations()) >= count),
                        "the item never registered with the watcher")
        sender, argument = watcher.registrations()[count - 1]
        name, path = (sender, argument) if argument.startswith("/") else (argument,
                                                                          tray_menu.ITEM_PATH)
        item = tray_menu.TrayItem(self.bus, name, path)
        # Registered before its menu is complete is allowed; wait until it reads as a menu.
        self.assertTrue(wait_for(lambda: self.readable(item)), "the item's menu never answered")
        return item

    @staticmethod
    def readable(item):
        try:
            return len(item.entries()) == 10
        except GLib.Error:
            return False

    def assert_dump(self, item, expected, seconds=15):
        """Opens the menu as the panel does, then waits for the dump to read `expected`."""
        deadline = time.monotonic() + seconds
        dump = None
        while time.monotonic() < deadline:
            try:
                item.about_to_show()
                for _ in range(20):
                    dump = tray_menu.dump(item)
                    if dump == expected:
                        return
                    time.sleep(0.05)
            except GLib.Error as error:  # busy stopping the server, say: ask again
                dump = str(error)
        self.assertEqual(dump, expected)

    def server_polls(self):
        return self.verbs().count("print")


class StatusNotifierMenuTest(DesktopTestCase):
    def setUp(self):
        super().setUp()
        self.watcher = self.session.start_watcher()
        self.bus = self.session.connect()
        self.process = self.start_item()
        self.item = self.registered_item(self.watcher)

    def test_registers_as_a_menu_with_a_themed_icon_and_the_template_image(self):
        props = self.item.properties()
        self.assertEqual(props["Title"], "Tessaway Server")
        self.assertEqual(props["ToolTip"][2], "Tessaway Server")
        self.assertEqual(props["Status"], "Active")
        self.assertIs(props["ItemIsMenu"], True)
        theme = os.path.join(APP, "Contents", "Resources", "icons")
        self.assertEqual(props["IconThemePath"], theme)
        self.assertEqual(props["IconName"], ICON)
        for name in (ICON, DIMMED_ICON):
            self.assertTrue(os.path.isfile(os.path.join(theme, "hicolor", "scalable", "status",
                                                        name + ".svg")), name)
        self.assertEqual(self.process.pid, self.bus.call_sync(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "GetConnectionUnixProcessID", GLib.Variant("(s)", (self.item.name,)),
            None, 0, 5000, None).unpack()[0])
        # The 18-pixel picture is white wherever the template's shape is solid.
        width, height, data = next(p for p in props["IconPixmap"] if p[0] == 18)
        template = png_alpha(TEMPLATE)
        self.assertEqual(height, len(template))
        for y, row in enumerate(template):
            for x, alpha in enumerate(row):
                if alpha == 255:
                    at = 4 * (width * y + x)
                    self.assertEqual(bytes(data[at:at + 4]), b"\xff" * 4, f"pixel {x}, {y}")
        listed = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "tray_menu.py")],
                                env=dict(self.env, PATH="/usr/bin:/bin"), capture_output=True,
                                text=True, timeout=60)
        self.assertEqual(listed.returncode, 0, listed.stderr)
        self.assertEqual(listed.stdout,
                         f"{self.item.name}{self.item.path}\n" + tray_menu.dump(self.item))

    def test_the_pictures_read_on_light_and_dark_panels(self):
        backgrounds = [("light", (0xf0, 0xf0, 0xf0)), ("dark", (0x20, 0x20, 0x20))]
        for look, loaded, dump, least in [("normal", True, running("Den"), 3.0),
                                          ("dimmed", False, PAUSED, 2.0)]:
            self.set_loaded(loaded=loaded)
            self.assert_dump(self.item, dump)
            for width, _height, data in self.item.properties()["IconPixmap"]:
                for background, colour in backgrounds:
                    with self.subTest(look=look, background=background, size=width):
                        self.assertGreaterEqual(legibility(data, colour), least)

    def signals(self, name, path):
        """The arguments of every signal `name` that the item sends from `path` from now on,
        as a function that first takes in what has arrived."""
        received = []
        self.bus.signal_subscribe(self.item.name, None, name, path, None, 0,
                                  lambda *args: received.append(args[-1].unpack()))
        context = GLib.MainContext.default()

        def arrived():
            while context.iteration(False):
                pass
            return received
        return arrived

    def test_a_poll_announces_a_changed_check_mark_before_the_menu_opens(self):
        # Settled: the first poll's answers are in, so nothing else changes the menu.
        self.assertTrue(wait_for(lambda: tray_menu.dump(self.item) == running("Den")))
        layouts = self.signals("LayoutUpdated", self.item.menu_path())
        changes = self.signals("ItemsPropertiesUpdated", self.item.menu_path())
        self.assertEqual(layouts(), [])
        self.assertEqual(self.tray("--ctl", "login-off").returncode, 0)
        # No AboutToShow: a panel that keeps its copy of the menu learns of it all the same.
        self.assertTrue(wait_for(lambda: layouts() and changes()),
                        "no LayoutUpdated and ItemsPropertiesUpdated after the check mark changed")
        login = self.item.entry_id("Start at Login")
        (updated, _removed), = changes()
        self.assertEqual([(i, p["toggle-state"]) for i, p in updated], [(login, 0)])
        self.assertEqual(tray_menu.dump(self.item), expected_dump(
            "Tessaway Server: Running", "Den", "Pause Sharing", login=False))

    def windows(self, *search):
        """The windows that show and match `search` (xdotool's), as (x, y, width, height)."""
        def xdotool(*args):
            return subprocess.run(["xdotool", *args], env=dict(self.env), capture_output=True,
                                  text=True, timeout=30).stdout
        boxes = []
        for window in xdotool("search", "--onlyvisible", *search).split():
            shell = dict(line.split("=", 1) for line in
                         xdotool("getwindowgeometry", "--shell", window).split())
            boxes.append(tuple(int(shell[k]) for k in ("X", "Y", "WIDTH", "HEIGHT")))
        return boxes

    def test_a_click_on_x_opens_the_menu_below_the_panel_at_the_point(self):
        reason = missing("xdotool", "trayer")
        if reason:
            self.skipTest(reason)
        # trayer stands for the panel: a bar 24 pixels high along the top of the 640x400 screen.
        self.session.start_trayer()
        self.assertTrue(wait_for(lambda: self.windows("--name", "^panel$") == [(0, 0, 640, 24)]),
                        "the panel never showed")
        menus = functools.partial(self.windows, "--pid", str(self.process.pid))
        self.assertTrue(wait_for(lambda: tray_menu.dump(self.item) == running("Den")))
        requests = self.signals("ItemActivationRequested", self.item.menu_path())
        for method in ("Activate", "ContextMenu"):
            with self.subTest(method):
                tray_menu.call(self.bus, self.item.name, self.item.path, tray_menu.ITEM, method,
                               GLib.Variant("(ii)", (600, 10)))

                def beside(box):
                    x, y, width, height = box
                    return y == 24 and x <= 600 < x + width and x + width <= 640 \
                        and y + height <= 400
                self.assertTrue(wait_for(lambda: [beside(b) for b in menus()] == [True]),
                                menus())
                # The item opened its menu itself: the panel is not asked for a second one.
                self.assertEqual(requests(), [])
                subprocess.run(["xdotool", "key", "Escape"], env=dict(self.env), timeout=30)
                self.assertTrue(wait_for(lambda: menus() == []), menus())

    def test_the_menu_in_every_state(self):
        for name, setup, detail in RUNNING_ROWS:
            with self.subTest(f"running, {name}"):
                self.server.respond("GET", "/api/setup/status", 200, setup)
                self.assert_dump(self.item, running(detail))
        with self.subTest("starting"):
            self.server.respond("GET", "/api/ping", 503)
            self.assert_dump(self.item, STARTING)
        with self.subTest("paused"):
            self.set_loaded(loaded=False)
            self.assert_dump(self.item, PAUSED)

    def test_opening_the_menu_reads_the_check_mark_again_and_polls(self):
        self.assert_dump(self.item, running("Den"))
        self.assertEqual(self.tray("--ctl", "login-off").returncode, 0)
        polls = self.server_polls()
        checks = self.verbs().count("print-disabled")
        self.item.about_to_show()
        # Both happen before AboutToShow returns, as before a menu opens on the screen.
        self.assertGreater(self.server_polls(), polls)
        self.assertGreater(self.verbs().count("print-disabled"), checks)
        self.assertEqual(tray_menu.dump(self.item),
                         expected_dump("Tessaway Server: Running", "Den", "Pause Sharing",
                                       login=False))

    def test_entries_clicked_over_dbus_do_what_they_say(self):
        self.assert_dump(self.item, running("Den"))
        base = f"http://localhost:{self.server.port}"
        self.item.click("Open Setup / Dashboard")
        self.assertEqual(self.opened_addresses(1), [base + "/setup"])
        os.remove(self.opened)
        self.item.click("Add Media Folder\u2026")
        self.assertEqual(self.opened_addresses(1), [base + "/setup#libraries"])
        self.item.click("Start at Login")
        self.assert_dump(self.item, expected_dump("Tessaway Server: Running", "Den",
                                                  "Pause Sharing", login=False))
        self.assertIn(["disable", f"gui/{os.getuid()}/{SERVER_LABEL}"], self.calls())
        self.item.click("Pause Sharing")
        self.assert_dump(self.item, paused(login=False))
        self.assertFalse(self.is_loaded())

    def test_bad_calls_from_the_panel_are_refused_or_ignored(self):
        self.set_loaded(loaded=False)
        self.assert_dump(self.item, PAUSED)
        menu = self.item.menu_path()
        open_row = self.item.entry_id("Open Setup / Dashboard")
        status_row = self.item.entry_id("Tessaway Server: Paused")
        ignored = [
            ("click on an id that does not exist", lambda: self.item.event(999999)),
            ("click on a negative id", lambda: self.item.event(-7)),
            ("click on the status line", lambda: self.item.event(status_row)),
            ("click on a disabled entry", lambda: self.item.event(open_row)),
            ("an event nobody defines", lambda: self.item.event(open_row, "exploded")),
            ("AboutToShow for an id that does not exist", lambda: self.item.about_to_show(-3)),
        ]
        for name, call in ignored:
            with self.subTest(name):
                call()
        refused = [
            ("Event without its arguments", "Event", GLib.Variant("(i)", (open_row,))),
            ("Event with the wrong types", "Event",
             GLib.Variant("(ssss)", ("clicked", "", "", ""))),
            ("GetLayout with the wrong types", "GetLayout", GLib.Variant("(s)", ("x",))),
            ("a method the menu does not have", "Explode", None),
        ]
        for name, method, parameters in refused:
            with self.subTest(name):
                with self.assertRaises(GLib.Error):
                    tray_menu.call(self.bus, self.item.name, menu, tray_menu.MENU, method,
                                   parameters, None)
        # Still there, unchanged, and nothing was opened or started.
        self.assertIsNone(self.process.poll())
        self.assertEqual(tray_menu.dump(self.item), PAUSED)
        self.assertEqual(self.opened_addresses(), [])
        self.assertNotIn("bootstrap", self.verbs())

    def test_registers_again_when_the_watcher_comes_back(self):
        self.watcher.stop()
        watcher = self.session.start_watcher()
        item = self.registered_item(watcher)
        self.assertEqual(item.name, self.item.name)
        self.assert_dump(item, running("Den"))
        self.assertIsNone(self.process.poll())


class NotRespondingTest(DesktopTestCase):
    def test_not_responding_after_a_minute_of_failed_pings(self):
        self.server.respond("GET", "/api/ping", 503)
        watcher = self.session.start_watcher()
        self.bus = self.session.connect()
        self.start_item()
        item = self.registered_item(watcher)
        self.assert_dump(item, STARTING)
        # A minute after the first failed ping.
        self.assert_dump(item, NOT_RESPONDING, seconds=100)


class LateHostTest(DesktopTestCase):
    """No tray host when the item starts: it says so once and waits for one."""

    def wait_for_no_tray_line(self):
        self.assertTrue(wait_for(lambda: NO_TRAY in self.item_stderr()), self.item_stderr())
        # The host starts a while after the item, as a panel that comes up late would.
        time.sleep(max(0.0, 2.0 - (time.monotonic() - self.started)))

    def test_a_watcher_that_starts_later_gets_the_item(self):
        self.bus = self.session.connect()
        process = self.start_item()
        self.wait_for_no_tray_line()
        status = self.tray("--ctl", "status")
        self.assertEqual(status.returncode, 0, status.stderr)
        self.assertIn(b"menu-bar item: shown", status.stdout)
        item = self.registered_item(self.session.start_watcher())
        self.assert_dump(item, running("Den"))
        self.assertEqual(self.item_stderr().count(NO_TRAY), 1)
        self.assertIsNone(process.poll())

    def test_ctl_quit_ends_an_item_that_waits_for_a_tray(self):
        process = self.start_item()
        self.wait_for_no_tray_line()
        result = self.tray("--ctl", "quit")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(process.wait(timeout=30), 0)
        self.assertFalse(self.is_loaded())


class LateXEmbedTrayTest(DesktopTestCase):
    """The same without any session bus: only an XEmbed tray can show the item."""

    tools = ("Xvfb", "trayer", "xwininfo")
    with_bus = False

    def test_a_tray_that_starts_later_embeds_the_icon(self):
        process = self.start_item()
        self.assertTrue(wait_for(lambda: NO_TRAY in self.item_stderr()), self.item_stderr())
        self.assertEqual(self.session.embedded_icons("Tessaway Server"), [])
        time.sleep(max(0.0, 2.0 - (time.monotonic() - self.started)))
        self.session.start_trayer()
        self.assertTrue(wait_for(lambda: self.session.embedded_icons("Tessaway Server")),
                        "trayer never embedded the icon")
        self.assertEqual(self.item_stderr().count(NO_TRAY), 1)
        self.assertIsNone(process.poll())


class ServerProcessTest(DesktopTestCase):
    """The whole product: the tray agent, started by the stand-in service manager, shows its
    item over D-Bus; its menu pauses and quits the real server."""

    scripted = False

    def setUp(self):
        super().setUp()
        self.watcher = self.session.start_watcher()
        self.bus = self.session.connect()
        installed = self.tray("--install-agents", "--no-open")
        self.assertEqual(installed.returncode, 0, installed.stderr)
        self.item = self.registered_item(self.watcher)
        self.assert_dump(self.item, running("Not set up yet: open setup to finish"), seconds=60)
        self.servers = wait_for(lambda: self.ours("server_main.py"))
        self.assertTrue(self.servers, "no server process")

    def test_pause_sharing_ends_the_server_process(self):
        self.item.click("Pause Sharing")
        self.assertTrue(wait_for(lambda: not self.ours("server_main.py"), 30),
                        "the server still runs")
        self.assert_dump(self.item, PAUSED)
        self.assertTrue(self.ours("tessaway-tray"), "the item ended")

    def test_start_at_login_waits_off_the_menu_for_a_lock_held_elsewhere(self):
        hold_lock(self, os.path.join(self.env["XDG_STATE_HOME"], "tessaway-launchd",
                                     "disabled.plist.lock"))
        self.item.click("Start at Login")
        self.item.about_to_show()  # answered while the click's commands wait for the lock
        # They give up; the check mark then shows the setting as it still is: on.
        self.assert_dump(self.item, running("Not set up yet: open setup to finish"), seconds=90)
        self.assertIn("\u2713 Start at Login", self.tray("--ctl", "status").stdout.decode())

    def test_quit_ends_the_item_and_the_server(self):
        self.item.click("Quit Tessaway Server")
        self.assertTrue(wait_for(lambda: not self.ours("tessaway-tray"), 30),
                        "the item still runs")
        self.assertEqual(self.ours("server_main.py"), [])
        self.assertTrue(wait_for(lambda: not tray_menu.registered_items(self.bus)),
                        "the watcher still lists the item")


if __name__ == "__main__":
    unittest.main()
