"""The menu-bar module run for real: tessaway-tray started by its agent, on Qt's
offscreen platform or with no display at all, against the scripted service manager."""
import os
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "doubles"))
from harness import (SERVER_LABEL, TRAY, BundleTestCase, dead_port,  # noqa: E402
                     live_instances, registry_folder, spawn, wait_for)

PREFIX = "tessaway-tray: cannot show the menu-bar item: "


class MenuBarProcessTest(BundleTestCase):
    def setUp(self):
        super().setUp()
        self.install_definition(f"<string>{dead_port()}</string>")
        self.set_loaded()
        self.env["QT_QPA_PLATFORM"] = "offscreen"

    def start(self, env):
        return spawn(self, [TRAY, "--agent"], env=env, stdout=subprocess.PIPE,
                     stderr=subprocess.PIPE)

    def registered(self, pid):
        return pid in live_instances(registry_folder(self.env))

    def start_shown(self):
        process = self.start(self.env)
        self.assertTrue(wait_for(lambda: self.registered(process.pid)), "never registered")
        poll = ["print", f"gui/{os.getuid()}/{SERVER_LABEL}"]
        self.assertTrue(wait_for(lambda: poll in self.calls()),
                        "the launch poll never asked the service manager")
        return process

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
        status = self.tray("--ctl", "status")
        self.assertEqual(status.returncode, 0, status.stderr)
        self.assertIn(b"menu-bar item: shown", status.stdout)
        process.send_signal(signal.SIGTERM)
        process.communicate(timeout=10)
        self.assertEqual(process.returncode, 0)
        self.assertNotIn("bootout", self.verbs())
        self.assertTrue(self.is_loaded())
        self.assertIn(b"menu-bar item: not running", self.tray("--ctl", "status").stdout)

    def test_ctl_quit_stops_the_server_and_ends_the_item(self):
        process = self.start_shown()
        result = self.tray("--ctl", "quit")
        self.assertEqual(result.returncode, 0, result.stderr)
        process.communicate(timeout=10)
        self.assertEqual(process.returncode, 0)
        self.assertFalse(self.is_loaded())


if __name__ == "__main__":
    unittest.main()
