"""Setup as a person does it: the product installed, its menu-bar item on a private display
and session bus with a test panel, the setup page opened from the item's menu in headless
Chromium (driven over WebDriver), and the server named, a media folder added and setup
finished in the page. A page on another origin that posts the same forms is refused.

Set SETUP_SCREENSHOT to a file name to keep a picture of the finished page there."""

import json
import os
import re
import shutil
import subprocess
import sys
import unittest
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "doubles"))
from harness import (LAUNCHCTL, TRAY_LABEL, live_instances, registry_folder,  # noqa: E402
                     wait_for)
from test_http_server import TestServer  # noqa: E402
from test_status_notifier import DesktopTestCase, running  # noqa: E402

CHROMIUM_FLAGS = (
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    # Without these Chromium reaches out to the network and waits for it.
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    # Short enough that the page scrolls to a section it is opened at.
    "--window-size=900,500",
)
NAME = "Den – Filme & Fotos"
REFUSED = "Forms are accepted only from this server's own setup page."


def start_chromium(test, folder):
    """Headless Chromium in a new profile under `folder`, ended by `test`'s clean-up. The
    test skips, saying why in one line, where Chromium cannot start."""
    try:
        from selenium import webdriver
        from selenium.common.exceptions import WebDriverException
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        test.skipTest("needs python3-selenium (scripts/setup.sh installs it)")
    programs = [shutil.which(p) for p in ("chromium", "chromedriver")]
    if None in programs:
        test.skipTest("needs chromium and chromium-driver (scripts/setup.sh installs them)")
    home = os.path.join(folder, "browser-home")
    os.makedirs(home)
    options = webdriver.ChromeOptions()
    options.binary_location = programs[0]
    for flag in CHROMIUM_FLAGS + (f"--user-data-dir={os.path.join(folder, 'profile')}",):
        options.add_argument(flag)
    service = Service(programs[1], log_path=os.path.join(folder, "chromedriver.log"),
                      env={"PATH": "/usr/bin:/bin", "HOME": home, "LANG": "C.UTF-8"})
    try:
        browser = webdriver.Chrome(service=service, options=options)
    except (WebDriverException, OSError) as error:
        service.stop()
        test.skipTest(f"Chromium cannot start here: {str(error).strip().splitlines()[0]}")
    test.addCleanup(browser.quit)
    browser.set_page_load_timeout(60)
    return browser


def hostile_page(port, path, fields):
    """A page on another origin with one form that posts `fields` to the setup server."""
    inputs = "".join(f'<input type="hidden" name="{k}" value="{v}">' for k, v in fields.items())
    return (f'<!DOCTYPE html><html><body><form method="post" '
            f'action="http://localhost:{port}{path}">{inputs}<button>Win a prize</button>'
            "</form></body></html>")


class SetupInBrowserTest(DesktopTestCase):
    scripted = False

    def setUp(self):
        super().setUp()
        self.browser = start_chromium(self, self.root)
        self.media = os.path.join(self.home, "Movies")
        os.mkdir(self.media)
        self.watcher = self.session.start_watcher()
        self.bus = self.session.connect()
        installed = self.tray("--install-agents", "--no-open")
        self.assertEqual(installed.returncode, 0, installed.stderr)
        self.port = int(re.search(rb"port (\d+) \(new\)", installed.stdout).group(1))
        # A service gets a fixed search path, so the agent's item would reach the machine's
        # own xdg-open: an item of the test's own, with the fake browser, takes its place.
        unloaded = subprocess.run([LAUNCHCTL, "bootout", f"gui/{os.getuid()}/{TRAY_LABEL}"],
                                  env=self.env, capture_output=True, timeout=60)
        self.assertEqual(unloaded.returncode, 0, unloaded.stderr)
        self.assertTrue(wait_for(lambda: not live_instances(registry_folder(self.env))),
                        "the agent's item runs on")
        self.start_item()
        self.item = self.registered_item(self.watcher, len(self.watcher.registrations()) + 1)

    def reported(self, detail):
        """Asserts that `--ctl status` comes to report the server running with the detail
        line `detail`, and nothing else above the menu's actions."""
        expected = ["\u2502 Tessaway Server: Running", "\u2502 " + detail, "\u251c" + "\u2500" * 46]

        def rows():
            return self.tray("--ctl", "status").stdout.decode().splitlines()[2:5]

        wait_for(lambda: rows() == expected, seconds=60, interval=0.5)
        self.assertEqual(rows(), expected)

    def setup_status(self):
        address = f"http://127.0.0.1:{self.port}/api/setup/status"
        with urllib.request.urlopen(address, timeout=30) as answer:
            return json.loads(answer.read())

    def open_from_menu(self, row, address):
        """Chooses `row` in the item's menu and opens in Chromium what the item asked the
        desktop's browser to open, which must be `address`."""
        before = len(self.opened_addresses())
        self.item.click(row)
        opened = self.opened_addresses(before + 1)
        self.assertEqual(opened[before:], [f"http://localhost:{self.port}{address}"])
        self.browser.get(opened[-1])

    def submit(self, section, value=None):
        """Fills the text field of `section`'s form, when given a value, and submits it; the
        text of the page the browser shows afterwards."""
        form = f"#{section} form"
        if value is not None:
            form = f"#{section} form.row"
            field = self.browser.find_element("css selector", f"{form} input[type=text]")
            field.clear()
            field.send_keys(value)
        page = self.browser.find_element("tag name", "html")
        self.browser.find_element("css selector", f"{form} button").click()
        self.await_next_page(page)
        return self.browser.find_element("css selector", "main").text

    def await_next_page(self, page):
        """Waits until the browser has left the page whose root element is `page`."""
        from selenium.common.exceptions import WebDriverException
        from selenium.webdriver.support.wait import WebDriverWait

        def left(driver):
            try:
                page.is_enabled()
                return False
            except WebDriverException:  # stale, or "does not belong to the document"
                pass
            return driver.execute_script("return document.readyState") == "complete"
        # A question asked while the next page replaces the old one may fail; ask again.
        WebDriverWait(self.browser, 60, ignored_exceptions=(WebDriverException,)).until(left)

    def test_setup_from_the_menu_to_finished(self):
        self.reported("Not set up yet: open setup to finish")

        self.open_from_menu("Open Setup / Dashboard", "/setup")
        shown = self.submit("name", NAME)
        self.assertIn(f"Your devices show this server as {NAME}.\nThe server name is saved.", shown)

        self.open_from_menu("Add Media Folder\u2026", "/setup#libraries")
        landed = self.browser.execute_script(
            "const s = document.getElementById('libraries').getBoundingClientRect();"
            "return [document.querySelector(':target').id, scrollY > 0,"
            " s.top >= 0 && s.top < innerHeight];")
        self.assertEqual(landed, ["libraries", True, True])
        missing = os.path.join(self.home, "Films")
        self.assertIn(f"There is no folder at \u201c{missing}\u201d.",
                      self.submit("libraries", missing))
        self.assertIn(f"{self.media}\nRemove\n", self.submit("libraries", self.media))

        self.assert_refused_from_other_origins()

        self.open_from_menu("Open Setup / Dashboard", "/setup")
        shown = self.submit("finish")
        self.assertIn("Setup is finished: your media server is ready.", shown)
        self.assertIn("Setup finished\nYour media server is set up.", shown)
        if os.environ.get("SETUP_SCREENSHOT"):
            self.browser.set_window_size(900, 1000)
            self.browser.save_screenshot(os.environ["SETUP_SCREENSHOT"])
        self.assertEqual(self.setup_status(),
                         {"claimed": False, "server_name": NAME, "configured": True})
        # Neither unclaimed row of the menu names the server.
        self.reported("Not claimed yet: open setup to link it")
        self.assert_dump(self.item, running("Not claimed yet: open setup to link it"))

    def assert_refused_from_other_origins(self):
        state = os.path.join(self.home, "Library", "Application Support", "Tessaway",
                             "server-state.json")
        with open(state, "rb") as f:
            saved = f.read()
        other = TestServer()
        self.addCleanup(other.stop)
        forms = [("/setup/name", {"server_name": "Hijacked"}),
                 ("/setup/libraries/add", {"path": "/"}),
                 ("/setup/libraries/remove", {"path": self.media}),
                 ("/setup/finish", {})]
        # The other page's address and referrer policy: "no-referrer" makes Chromium post with
        # Origin null, as the setup page's own forms once did.
        for host, policy in (("127.0.0.1", "no-referrer"), ("localhost", "no-referrer"),
                             ("127.0.0.1", "strict-origin-when-cross-origin")):
            for path, fields in forms:
                with self.subTest(host=host, policy=policy, form=path):
                    other.respond("GET", path, 200, hostile_page(self.port, path, fields),
                                  headers={"Content-Type": "text/html; charset=utf-8",
                                           "Referrer-Policy": policy})
                    self.browser.get(f"http://{host}:{other.port}{path}")
                    page = self.browser.find_element("tag name", "html")
                    self.browser.find_element("tag name", "button").click()
                    self.await_next_page(page)
                    self.assertIn(REFUSED, self.browser.find_element("tag name", "body").text)
        with open(state, "rb") as f:
            self.assertEqual(f.read(), saved)
        self.assertEqual(self.setup_status(),
                         {"claimed": False, "server_name": NAME, "configured": False})


if __name__ == "__main__":
    unittest.main()
