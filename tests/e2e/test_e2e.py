"""The whole product on Linux: the controller drives the stand-in service manager, which runs
the launcher, which runs the stand-in media server. Nothing is faked but the browser."""

import os
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
from harness import APP, TRAY, BundleTestCase  # noqa: E402

LAUNCHCTL = os.path.join(APP, "Contents", "MacOS", "launchctl")


def processes_mentioning(text):
    """Process ids whose command line or environment mentions `text`."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                blob = f.read()
            with open(f"/proc/{pid}/environ", "rb") as f:
                blob += f.read()
        except OSError:
            continue
        if text.encode() in blob:
            found.append(int(pid))
    return found


class EndToEndCase(BundleTestCase):
    def setUp(self):
        super().setUp()
        # The real stand-in, found beside the controller as it would be in use.
        del self.env["TESSAWAY_LAUNCHCTL"]
        del self.env["FAKE_LAUNCHCTL_STATE"]
        # The tray agent that the installation loads shows its item on Qt's offscreen platform.
        self.env["QT_QPA_PLATFORM"] = "offscreen"
        self.addCleanup(self.end_everything)

    def end_everything(self):
        subprocess.run([LAUNCHCTL, "bootout", f"gui/{os.getuid()}"], env=self.env,
                       capture_output=True, timeout=30)
        deadline = time.monotonic() + 15
        while processes_mentioning(self.root) and time.monotonic() < deadline:
            time.sleep(0.1)
        left = processes_mentioning(self.root)
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.assertEqual(left, [], "processes were left running")

    def status(self):
        r = self.tray("--ctl", "status")
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.decode()

    def wait_for_status(self, text, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            report = self.status()
            if text in report or time.monotonic() > deadline:
                return report
            time.sleep(0.3)


class EndToEndTest(EndToEndCase):
    def test_install_run_pause_resume_login_and_quit(self):
        r = self.tray("--install-agents", "--no-open")
        self.assertEqual(r.returncode, 0, r.stderr)
        port = int(re.search(rb"port (\d+) \(new\)", r.stdout).group(1))

        report = self.wait_for_status("Tessaway Server: Running")
        self.assertIn("\u2502 Tessaway Server: Running\n", report)
        self.assertIn("\u2502 Not set up yet: open setup to finish\n", report)
        self.assertIn(f"   port: {port}\n", report)
        self.assertIn("\u2502 \u2713 Start at Login\n", report)
        self.assertIn("menu-bar item: shown", self.wait_for_status("menu-bar item: shown"))
        log = os.path.join(self.home, "Library", "Logs", "Tessaway", "server.log")
        self.assertTrue(os.path.exists(log))

        self.assertEqual(self.tray("--ctl", "pause").returncode, 0)
        self.assertIn("Tessaway Server: Paused", self.status())
        ours = set(processes_mentioning(self.root))
        self.assertEqual([p for p in processes_mentioning("server_main.py") if p in ours], [])

        self.assertEqual(self.tray("--ctl", "resume").returncode, 0)
        self.assertIn("Tessaway Server: Running", self.wait_for_status("Tessaway Server: Running"))

        self.assertEqual(self.tray("--ctl", "login-off").returncode, 0)
        self.assertIn("\u2502   Start at Login\n", self.status())
        self.assertEqual(self.tray("--ctl", "login-on").returncode, 0)
        self.assertIn("\u2502 \u2713 Start at Login\n", self.status())

        self.assertEqual(self.tray("--ctl", "quit").returncode, 0)
        report = self.wait_for_status("menu-bar item: not running")
        self.assertIn("Tessaway Server: Paused", report)
        self.assertIn("menu-bar item: not running", report)

    def test_resume_with_start_at_login_off_keeps_it_off(self):
        r = self.tray("--install-agents", "--no-open")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.wait_for_status("Tessaway Server: Running")
        self.assertEqual(self.tray("--ctl", "login-off").returncode, 0)
        self.assertEqual(self.tray("--ctl", "pause").returncode, 0)
        self.assertEqual(self.tray("--ctl", "resume").returncode, 0)
        report = self.wait_for_status("Tessaway Server: Running")
        self.assertIn("Tessaway Server: Running", report)
        self.assertIn("\u2502   Start at Login\n", report)

    def test_reinstall_keeps_the_port_and_the_server_answers_again(self):
        first = self.tray("--install-agents", "--no-open")
        port = int(re.search(rb"port (\d+)", first.stdout).group(1))
        self.wait_for_status("Tessaway Server: Running")
        again = self.tray("--install-agents", "--no-open")
        self.assertEqual(again.stdout, f"Tessaway Server agents installed, port {port}\n".encode())
        self.assertIn("Tessaway Server: Running", self.wait_for_status("Tessaway Server: Running"))


class ConcurrentCommandsTest(EndToEndCase):
    def start(self, word):
        proc = subprocess.Popen([TRAY, "--ctl", word], env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        return proc

    def test_resumes_beside_login_on_never_undo_it(self):
        # Each resume with start at login off lifts the override for its bootstrap and puts it
        # back; run beside login-on, that must never leave the override disabled.
        r = self.tray("--install-agents", "--no-open")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.wait_for_status("Tessaway Server: Running")
        for round in range(3):
            with self.subTest(round=round):
                self.assertEqual(self.tray("--ctl", "login-off").returncode, 0)
                self.assertEqual(self.tray("--ctl", "pause").returncode, 0)
                resumes = [self.start("resume") for _ in range(10)]
                login = self.start("login-on")
                self.assertEqual(login.wait(timeout=120), 0)
                self.assertEqual([p.wait(timeout=120) for p in resumes], [0] * 10)
                self.assertIn("\u2502 \u2713 Start at Login\n", self.status())


if __name__ == "__main__":
    unittest.main()
