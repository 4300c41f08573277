"""The menu-bar module run for real: tessaway-tray started by its agent, on Qt's
offscreen platform or with no display at all, against the scripted service manager."""
import os
import pathlib
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

HERE = pathlib.Path(__file__).resolve().parent
DOUBLES = HERE.parents[1] / "doubles"
sys.path.insert(0, str(DOUBLES))
from harness import live_instances, spawn, wait_for  # noqa: E402
TRAY = os.environ.get("TESSAWAY_TRAY", "")
FAKE_LAUNCHCTL = DOUBLES / "fake_launchctl"
BUNDLE_ID = "com.quorvel.tessaway"
PREFIX = "tessaway-tray: cannot show the menu-bar item: "


def unused_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@unittest.skipUnless(TRAY, "run through ctest, which names the built programs")
class MenuBarProcessTest(unittest.TestCase):
    def setUp(self):
        root = tempfile.TemporaryDirectory(prefix="tessaway-menubar-")
        self.addCleanup(root.cleanup)
        self.root = pathlib.Path(root.name)
        self.home = self.root / "home"
        self.state = self.root / "launchctl"
        self.runtime = self.root / "run"
        for folder in (self.home, self.state, self.runtime):
            folder.mkdir(mode=0o700)
        agents = self.home / "Library" / "LaunchAgents"
        agents.mkdir(parents=True)
        (agents / "com.quorvel.tessaway-server.plist").write_text(
            '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n'
            "\t<key>EnvironmentVariables</key>\n\t<dict>\n\t\t<key>TESSAWAY_PORT</key>\n"
            f"\t\t<string>{unused_port()}</string>\n\t</dict>\n</dict>\n</plist>\n")
        self.loaded_marker = self.state / "loaded" / "com.quorvel.tessaway-server"
        self.loaded_marker.parent.mkdir()
        self.loaded_marker.touch()
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": str(self.home),
            "XDG_RUNTIME_DIR": str(self.runtime),
            "TESSAWAY_LAUNCHCTL": str(FAKE_LAUNCHCTL),
            "FAKE_LAUNCHCTL_STATE": str(self.state),
            "QT_QPA_PLATFORM": "offscreen",
        }

    def start(self, env):
        return spawn(self, [TRAY, "--agent"], env=env, stdout=subprocess.PIPE,
                     stderr=subprocess.PIPE)

    def calls(self):
        try:
            return (self.state / "calls").read_text().splitlines()
        except FileNotFoundError:
            return []

    def registered(self, pid):
        return pid in live_instances(self.runtime / "tessaway-apps" / BUNDLE_ID)

    def start_shown(self):
        process = self.start(self.env)
        self.assertTrue(wait_for(lambda: self.registered(process.pid)), "never registered")
        self.assertTrue(wait_for(lambda: any(c.startswith("print\tgui/") for c in self.calls())),
                        "the launch poll never asked the service manager")
        return process

    def ctl(self, word):
        return subprocess.run([TRAY, "--ctl", word], env=self.env, capture_output=True,
                              text=True, timeout=60)

    def assert_one_line_and_status_0(self, env):
        process = self.start(env)
        out, err = process.communicate(timeout=30)
        self.assertEqual(process.returncode, 0, err)
        lines = err.decode().splitlines()
        self.assertEqual(len(lines), 1, err)
        self.assertTrue(lines[0].startswith(PREFIX), lines[0])
        self.assertEqual(out, b"")
        self.assertFalse(self.registered(process.pid))
        return lines[0]

    def test_without_any_display(self):
        env = dict(self.env)
        del env["QT_QPA_PLATFORM"]
        line = self.assert_one_line_and_status_0(env)
        self.assertEqual(line, PREFIX + "no display: neither DISPLAY nor WAYLAND_DISPLAY is set")

    def test_with_a_display_nobody_serves(self):
        env = dict(self.env, DISPLAY=":4242")
        del env["QT_QPA_PLATFORM"]
        line = self.assert_one_line_and_status_0(env)
        self.assertEqual(line, PREFIX + "cannot open the display :4242")

    def test_when_the_toolkit_itself_gives_up(self):
        # Not caught beforehand: the toolkit's fatal message becomes our one line, no abort.
        self.assert_one_line_and_status_0(dict(self.env, QT_QPA_PLATFORM="nosuchplatform"))

    def test_sigterm_ends_cleanly_and_leaves_the_server_running(self):
        process = self.start_shown()
        status = self.ctl("status")
        self.assertEqual(status.returncode, 0, status.stderr)
        self.assertIn("menu-bar item: shown", status.stdout)
        process.send_signal(signal.SIGTERM)
        process.communicate(timeout=10)
        self.assertEqual(process.returncode, 0)
        self.assertFalse([c for c in self.calls() if c.startswith("bootout\t")])
        self.assertTrue(self.loaded_marker.exists())
        self.assertIn("menu-bar item: not running", self.ctl("status").stdout)

    def test_ctl_quit_stops_the_server_and_ends_the_item(self):
        process = self.start_shown()
        result = self.ctl("quit")
        self.assertEqual(result.returncode, 0, result.stderr)
        process.communicate(timeout=10)
        self.assertEqual(process.returncode, 0)
        self.assertFalse(self.loaded_marker.exists())


if __name__ == "__main__":
    unittest.main()
