"""The whole product on Linux: the controller drives the stand-in service manager, which runs
the launcher, which runs the stand-in media server. Nothing is faked but the browser."""

import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "doubles"))
import processes  # noqa: E402
from desktop_entry import entry_command  # noqa: E402
from harness import (LAUNCHCTL, SERVER_LABEL, TRAY, TRAY_LABEL, BundleTestCase,  # noqa: E402
                     full_file_system, private_tmp, wait_for)


class EndToEndCase(BundleTestCase):
    def setUp(self):
        super().setUp()
        # The tray agent that the installation loads shows its item on Qt's offscreen platform.
        self.env["QT_QPA_PLATFORM"] = "offscreen"
        self.use_service_manager()
        self.domain = f"gui/{os.getuid()}"

    def status(self):
        r = self.tray("--ctl", "status")
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.decode()

    def print_agent(self, label):
        return subprocess.run([*self.prefix, self.program("launchctl"), "print",
                               f"{self.domain}/{label}"], env=self.env, capture_output=True,
                              timeout=30)

    def loaded(self, label):
        return self.print_agent(label).returncode == 0

    def agent_pid(self, label):
        """The process id of the agent's program while the service manager runs it."""
        r = self.print_agent(label)
        found = re.search(rb"^\tpid = (\d+)$", r.stdout, re.MULTILINE)
        return int(found.group(1)) if r.returncode == 0 and found else None

    def wait_for_status(self, text, timeout=30):
        """The status report once it holds `text`; fails when it does not within `timeout`."""
        deadline = time.monotonic() + timeout
        while text not in (report := self.status()):
            self.assertLess(time.monotonic(), deadline, f"no {text!r} in the report:\n{report}")
            time.sleep(0.3)
        return report


class EndToEndTest(EndToEndCase):
    def test_install_run_pause_resume_login_and_quit(self):
        r = self.tray("--install-agents", "--no-open")
        self.assertEqual(r.returncode, 0, r.stderr)
        port = int(re.search(rb"port (\d+) \(new\)", r.stdout).group(1))

        report = self.wait_for_status("\u2502 Tessaway Server: Running\n")
        self.assertIn("\u2502 Not set up yet: open setup to finish\n", report)
        self.assertIn(f"   port: {port}\n", report)
        self.assertIn("\u2502 \u2713 Start at Login\n", report)
        self.wait_for_status("menu-bar item: shown")
        log = os.path.join(self.home, "Library", "Logs", "Tessaway", "server.log")
        self.assertTrue(os.path.exists(log))

        self.assertEqual(self.tray("--ctl", "pause").returncode, 0)
        self.assertIn("Tessaway Server: Paused", self.status())
        self.assertEqual(self.ours("server_main.py"), [])

        self.assertEqual(self.tray("--ctl", "resume").returncode, 0)
        self.wait_for_status("Tessaway Server: Running")

        self.assertEqual(self.tray("--ctl", "login-off").returncode, 0)
        self.assertIn("\u2502   Start at Login\n", self.status())
        self.assertEqual(self.tray("--ctl", "login-on").returncode, 0)
        self.assertIn("\u2502 \u2713 Start at Login\n", self.status())

        self.assertEqual(self.tray("--ctl", "quit").returncode, 0)
        self.assertIn("Tessaway Server: Paused", self.wait_for_status("menu-bar item: not running"))

    def test_killed_server_is_started_again_within_15_seconds(self):
        r = self.tray("--install-agents", "--no-open")
        self.assertEqual(r.returncode, 0, r.stderr)
        port = int(re.search(rb"port (\d+) \(new\)", r.stdout).group(1))
        self.wait_for_status("Tessaway Server: Running")
        first = wait_for(lambda: self.agent_pid(SERVER_LABEL))
        os.kill(first, signal.SIGKILL)
        # Restarts of a crashed server are spaced 10 s apart.
        self.assertTrue(wait_for(lambda: self.agent_pid(SERVER_LABEL) not in (None, first)
                                 and answers(port), seconds=15, interval=0.2),
                        "the killed server was not started again")

    def test_resume_with_start_at_login_off_keeps_it_off(self):
        r = self.tray("--install-agents", "--no-open")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.wait_for_status("Tessaway Server: Running")
        self.assertEqual(self.tray("--ctl", "login-off").returncode, 0)
        self.assertEqual(self.tray("--ctl", "pause").returncode, 0)
        self.assertEqual(self.tray("--ctl", "resume").returncode, 0)
        self.assertIn("\u2502   Start at Login\n", self.wait_for_status("Tessaway Server: Running"))

    def test_reinstall_keeps_the_port_and_the_server_answers_again(self):
        first = self.tray("--install-agents", "--no-open")
        port = int(re.search(rb"port (\d+)", first.stdout).group(1))
        labels = (SERVER_LABEL, TRAY_LABEL)
        before = {label: wait_for(lambda label=label: self.agent_pid(label)) for label in labels}
        self.assertTrue(all(before.values()), before)
        again = self.tray("--install-agents", "--no-open")
        self.assertEqual((again.returncode, again.stderr), (0, b""))
        self.assertEqual(again.stdout, f"Tessaway Server agents installed, port {port}\n".encode())
        # Each agent runs again as a new program: a replacement that raced the old service's
        # end must not leave the label unloaded.
        for label in labels:
            self.assertTrue(wait_for(lambda label=label: self.agent_pid(label) not in
                                     (None, before[label])), label)
        self.wait_for_status("Tessaway Server: Running")


class FullDiskTest(EndToEndCase):
    def test_a_full_disk_is_reported_and_leaves_the_server_and_start_at_login_as_they_were(self):
        agents = os.path.join("Library", "LaunchAgents")
        overrides = os.path.join(".local", "state", "tessaway-launchd")
        rows = [
            # name, folder that fills up, commands before, command, its message, report lines
            ("reinstall", agents, [], "--install-agents",
             "cannot write {home}/" + os.path.join(agents, SERVER_LABEL + ".plist") +
             ": No space left on device", ["Tessaway Server: Running", "\u2713 Start at Login"]),
            ("login-off", overrides, [], "login-off",
             "start at login could not be switched off: ",
             ["Tessaway Server: Running", "\u2713 Start at Login"]),
            ("resume with start at login off", overrides, ["login-off", "pause"], "resume", "",
             ["Tessaway Server: Paused", "\u2502   Start at Login"]),
        ]
        for number, (name, folder, before, command, message, lines) in enumerate(rows):
            with self.subTest(name):
                # A home of its own for each row.
                self.home = os.path.join(self.root, f"home-{number}")
                self.env["HOME"] = self.home
                self.env["XDG_STATE_HOME"] = os.path.join(self.home, ".local", "state")
                self.env["XDG_CONFIG_HOME"] = os.path.join(self.home, ".config")
                fill = full_file_system(self, os.path.join(self.home, folder))
                message = message.format(home=self.home)
                r = self.tray("--install-agents", "--no-open")
                self.assertEqual(r.returncode, 0, r.stderr)
                self.wait_for_status("Tessaway Server: Running")
                server = self.agent_pid(SERVER_LABEL)
                for word in before:
                    self.assertEqual(self.tray("--ctl", word).returncode, 0, word)
                fill()
                args = [command] if command.startswith("--") else ["--ctl", command]
                r = self.tray(*args)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertTrue(r.stderr.decode().startswith(message), r.stderr)
                report = self.status()
                for line in lines:
                    self.assertIn(line, report)
                if "Running" in lines[0]:
                    self.assertEqual(self.agent_pid(SERVER_LABEL), server, "not restarted")
                self.end_services()


def answers(port):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/api/ping", timeout=3) as r:
            return r.status == 200
    except (OSError, urllib.error.URLError):
        return False


class LoginTest(EndToEndCase):
    """A logout and a login of a Linux desktop session: the domain is booted out (under
    systemd: the user manager stops) and the runtime folder emptied; at login (a new user
    manager on the same home) the desktop runs the command of the autostart entry."""

    OTHER = "com.example.other-agent"

    def setUp(self):
        super().setUp()
        self.entry = os.path.join(self.env["XDG_CONFIG_HOME"], "autostart",
                                  "tessaway-launchd.desktop")
        # Someone else's agent, which every login loads: proof that the login ran.
        agents = os.path.join(self.home, "Library", "LaunchAgents")
        os.makedirs(agents)
        with open(os.path.join(agents, self.OTHER + ".plist"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n'
                    f"\t<key>Label</key>\n\t<string>{self.OTHER}</string>\n"
                    "\t<key>ProgramArguments</key>\n\t<array>\n\t\t<string>/bin/sh</string>\n"
                    "\t\t<string>-c</string>\n\t\t<string>exec sleep 600</string>\n"
                    f"\t\t<string>{self.root}</string>\n\t</array>\n"
                    "\t<key>RunAtLoad</key>\n\t<true/>\n</dict>\n</plist>\n")

    def log_out(self):
        if self.manager:
            self.manager.stop()
        else:
            r = subprocess.run([LAUNCHCTL, "bootout", self.domain], env=self.env,
                               capture_output=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(wait_for(lambda: not processes.mentioning(self.root), 30, 0.1),
                        "the session did not end")
        runtime = self.env["XDG_RUNTIME_DIR"]
        for name in os.listdir(runtime):
            path = os.path.join(runtime, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.remove(path)

    def log_in(self):
        if self.manager:
            self.assertIsNone(self.manager.start())
        command = entry_command(self.entry)
        self.assertIsNotNone(command, "the desktop would skip the entry")
        # Read to the end, as a session manager may: nothing left running keeps it open.
        r = subprocess.run(command, env=self.env, capture_output=True, timeout=60)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"", b""))
        return command

    def test_logout_and_login_start_the_server_unless_start_at_login_is_off(self):
        r = self.tray("--install-agents", "--no-open")
        self.assertEqual(r.returncode, 0, r.stderr)
        port = int(re.search(rb"port (\d+) \(new\)", r.stdout).group(1))
        self.wait_for_status("Tessaway Server: Running")
        self.assertEqual(entry_command(self.entry),
                         [os.path.realpath(LAUNCHCTL), "session-start"])

        self.log_out()
        self.assertFalse(answers(port))
        self.log_in()
        self.wait_for_status("menu-bar item: shown")
        report = self.wait_for_status("\u2502 Tessaway Server: Running\n")
        self.assertTrue(answers(port), "the server does not answer on its port after login")
        self.assertIn("\u2502 \u2713 Start at Login\n", report)
        self.assertTrue(self.loaded(self.OTHER))

        # The entry runs again (twice in all): the same one server and one menu-bar item.
        servers, items = self.ours("server_main.py"), self.ours("tessaway-tray")
        self.assertEqual((len(servers), len(items)), (1, 1))
        self.log_in()
        self.assertIn("Tessaway Server: Running", self.status())
        self.assertEqual((self.ours("server_main.py"), self.ours("tessaway-tray")),
                         (servers, items))

        self.assertEqual(self.tray("--ctl", "login-off").returncode, 0)
        self.log_out()
        self.log_in()
        self.assertTrue(self.loaded(self.OTHER), "the login did not run")
        report = self.status()
        self.assertIn("\u2502 Tessaway Server: Paused\n", report)
        self.assertIn("\u2502   Start at Login\n", report)
        # Start at login is off for both agents, so the menu-bar item stays away too.
        self.assertIn("menu-bar item: not running", report)
        self.assertFalse(answers(port))
        self.assertEqual(self.ours("server_main.py"), [])


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



class SharedFolderTest(EndToEndCase):
    """Without XDG_RUNTIME_DIR: the session's state lies in /tmp (here one of the test's own),
    whatever TMPDIR each command is given."""

    def test_a_tmpdir_change_between_install_and_pause_still_pauses(self):
        self.prefix, _ = private_tmp(self)
        del self.env["XDG_RUNTIME_DIR"]
        self.env["TMPDIR"] = os.path.join(self.root, "tmp-a")
        r = self.tray("--install-agents", "--no-open")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.wait_for_status("Tessaway Server: Running")
        self.env["TMPDIR"] = os.path.join(self.root, "tmp-b")
        self.assertEqual(self.tray("--ctl", "pause").returncode, 0)
        self.assertIn("Tessaway Server: Paused", self.status())
        self.assertFalse(self.loaded(SERVER_LABEL))


class BoundedWaitTest(EndToEndCase):
    def test_an_overrides_lock_held_elsewhere_ends_commands_with_a_failure(self):
        self.assertEqual(self.tray("--ctl", "login-off").returncode, 0)
        lock = os.path.join(self.env["XDG_STATE_HOME"], "tessaway-launchd", "disabled.plist.lock")
        holder = os.open(lock, os.O_RDWR)
        self.addCleanup(os.close, holder)
        fcntl.flock(holder, fcntl.LOCK_EX)
        gave_up = f"launchctl: gave up after 10 seconds: another process holds {lock}\n"
        rows = [("launchctl enable", [LAUNCHCTL, "enable", f"{self.domain}/{SERVER_LABEL}"],
                 gave_up),
                ("--ctl login-on", [TRAY, "--ctl", "login-on"], "")]
        for name, command, line in rows:
            with self.subTest(name):
                # A wait without end would outlast the time-out here and fail the row.
                r = subprocess.run(command, env=self.env, capture_output=True, text=True,
                                   timeout=120)
                self.assertNotEqual(r.returncode, 0)
                self.assertTrue(r.stderr.startswith(line), r.stderr)
        self.assertIn("\u2502   Start at Login\n", self.status())


if __name__ == "__main__":
    unittest.main()
