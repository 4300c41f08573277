"""The control commands, run as processes against the scripted launchctl and a local server."""

import json
import os
import plistlib
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "doubles"))
from harness import (BUNDLE_ID, LAUNCHCTL, REGISTRY_LOCK, SERVER_LABEL, TRAY,  # noqa: E402
                     TRAY_LABEL, BundleTestCase, binary_plist_with_string, dead_port,
                     deep_binary_plist, deep_xml_plist, server_definition)

USAGE = b"usage: --ctl status|pause|resume|login-on|login-off|quit\n"
RULE = "\u2500" * 46


def report(status, detail, setup_enabled, pause, login_on, shown=False, port=8011):
    suffix = "" if setup_enabled else "   (disabled)"
    lines = [f"menu-bar item: {'shown' if shown else 'not running'}   port: {port}",
             "\u250c" + RULE, "\u2502 " + status]
    if detail:
        lines.append("\u2502 " + detail)
    lines += ["\u251c" + RULE,
              "\u2502 Open Setup / Dashboard" + suffix,
              "\u2502 Add Media Folder\u2026" + suffix,
              "\u251c" + RULE,
              "\u2502 " + pause,
              "\u2502 " + ("\u2713" if login_on else " ") + " Start at Login",
              "\u251c" + RULE,
              "\u2502 Quit Tessaway Server        \u2318Q",
              "\u2514" + RULE]
    return ("\n".join(lines) + "\n").encode()


class UsageTest(BundleTestCase):
    def test_words_that_are_not_commands_print_the_usage_and_return_2(self):
        for args in (["--ctl"], ["--ctl", ""], ["--ctl", "Status"], ["--ctl", "STATUS"],
                     ["--ctl", "stat"], ["--ctl", "status "], ["--ctl", "login"],
                     ["--ctl", "--install-agents"]):
            with self.subTest(args=args):
                r = self.tray(*args)
                self.assertEqual(r.returncode, 2)
                self.assertEqual(r.stderr, USAGE)
                self.assertEqual(r.stdout, b"")
        self.assertEqual(self.calls(), [])

    def test_the_word_after_the_first_ctl_counts_and_overrides_everything_else(self):
        r = self.tray("--install-agents", "--ctl", "bogus", "--ctl", "status")
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stderr, USAGE)
        r = self.tray("--ctl", "status", "--install-agents", "--agent")
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"Tessaway Server: Paused", r.stdout)
        self.assertFalse(os.path.exists(os.path.join(self.home, "Library", "LaunchAgents")))
        self.assertNotIn("bootstrap", self.verbs())


class StatusReportTest(BundleTestCase):
    def test_paused_makes_no_request_and_disables_the_setup_rows(self):
        server = self.start_server()
        self.set_override(SERVER_LABEL, "disabled")
        r = self.tray("--ctl", "status")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout.decode(), report(
            "Tessaway Server: Paused", "Sharing is off until you resume it", False,
            "Resume Sharing", login_on=False, port=server.port).decode())
        self.assertEqual(server.requests(), [])
        self.assertEqual(self.verbs(), ["print", "print-disabled"])

    def test_loaded_but_not_answering_is_starting(self):
        self.install_definition(f"<string>{dead_port()}</string>")
        self.set_loaded()
        r = self.tray("--ctl", "status")
        self.assertEqual(r.returncode, 0)
        port = int(r.stdout.split(b"port: ")[1].split(b"\n")[0])
        self.assertEqual(r.stdout, report("Tessaway Server: Starting\u2026",
                                          "Waiting for the server to answer", True,
                                          "Pause Sharing", login_on=True, port=port))

    def test_running_shows_the_setup_status_and_leaves_out_an_empty_detail(self):
        # Which answer gives which detail is the core's table; here: the answer reaches the
        # report, and a detail line that says nothing is not printed.
        server = self.start_server()
        self.set_loaded()
        server.respond("GET", "/api/ping", 200)
        for body, detail in [('{"claimed":false,"configured":true}',
                              "Not claimed yet: open setup to link it"),
                             ("not json", "")]:
            with self.subTest(body=body):
                server.respond("GET", "/api/setup/status", 200, body)
                r = self.tray("--ctl", "status")
                self.assertEqual(r.returncode, 0)
                self.assertEqual(r.stdout.decode(), report(
                    "Tessaway Server: Running", detail, True, "Pause Sharing", login_on=True,
                    port=server.port).decode())
        self.assertEqual([m for m, _ in server.requests()].count("HEAD"), 0)

    def test_setup_status_answer_is_used_whatever_its_status_code(self):
        server = self.start_server()
        self.set_loaded()
        server.respond("GET", "/api/ping", 200)
        server.respond("GET", "/api/setup/status", 500, '{"claimed":false,"configured":true}')
        r = self.tray("--ctl", "status")
        self.assertIn("\u2502 Not claimed yet: open setup to link it\n", r.stdout.decode())

    def test_ping_failure_skips_the_setup_status(self):
        server = self.start_server()
        self.set_loaded()
        server.respond("GET", "/api/ping", 503)
        r = self.tray("--ctl", "status")
        self.assertIn("Tessaway Server: Starting\u2026", r.stdout.decode())
        self.assertEqual(server.requests(), [("GET", "/api/ping")])

    def test_a_server_name_cannot_drive_the_terminal(self):
        server = self.start_server()
        self.set_loaded()
        server.respond("GET", "/api/ping", 200)
        server.respond("GET", "/api/setup/status", 200,
                       '{"server_name":"Den\\u001b]0;owned\\u0007\\u001b[2J\\n\\u009b1m"}')
        r = self.tray("--ctl", "status")
        out = r.stdout.decode()
        self.assertEqual(r.returncode, 0)
        for control in ("\x1b", "\x07", "\x9b"):
            self.assertNotIn(control, out)
        self.assertIn("\u2502 Den\ufffd]0;owned\ufffd\ufffd[2J\ufffd\ufffd1m\n", out)
        self.assertEqual(len(out.splitlines()), 13)

    def test_invisible_controls_in_the_server_name_cannot_reorder_the_report(self):
        server = self.start_server()
        self.set_loaded()
        server.respond("GET", "/api/ping", 200)
        rows = [("right-to-left override", "Den\u202etxt.exe", "Den\ufffdtxt.exe"),
                ("isolates", "\u2066a\u2067b\u2068c\u2069", "\ufffda\ufffdb\ufffdc\ufffd"),
                ("joiners stay", "\U0001f468\u200d\U0001f469\u200d\U0001f467 \u0645\u06cc\u200c\u062e",
                 "\U0001f468\u200d\U0001f469\u200d\U0001f467 \u0645\u06cc\u200c\u062e"),
                ("line separator", "Den\u2028Attic", "Den\ufffdAttic")]
        for name, given, shown in rows:
            with self.subTest(name):
                server.respond("GET", "/api/setup/status", 200,
                               json.dumps({"server_name": given}))
                r = self.tray("--ctl", "status")
                self.assertEqual(r.returncode, 0)
                self.assertIn(f"\u2502 {shown}\n", r.stdout.decode())

    def test_login_check_mark_follows_the_override(self):
        self.set_override(SERVER_LABEL, "enabled")
        self.assertIn("\u2502 \u2713 Start at Login\n", self.tray("--ctl", "status").stdout.decode())
        self.set_override(SERVER_LABEL, "disabled")
        self.assertIn("\u2502   Start at Login\n", self.tray("--ctl", "status").stdout.decode())

    def test_port_line_reads_the_installed_definition(self):
        for element, port in (("<string>8123</string>", 8123), ("<integer>9001</integer>", 9001),
                              ("<string>junk</string>", 8011)):
            with self.subTest(element=element):
                self.install_definition(element)
                first = self.tray("--ctl", "status").stdout.split(b"\n")[0]
                self.assertEqual(first, f"menu-bar item: not running   port: {port}".encode())

    def test_menu_bar_line_counts_only_live_other_instances(self):
        folder = os.path.join(self.env["XDG_RUNTIME_DIR"], "tessaway-apps", "com.quorvel.tessaway")
        os.makedirs(folder)
        open(os.path.join(folder, "999999"), "w").close()  # stale: nobody holds its lock
        first = lambda: self.tray("--ctl", "status").stdout.split(b"\n")[0]
        self.assertTrue(first().startswith(b"menu-bar item: not running"))
        instance = self.fake_instance()
        self.assertTrue(first().startswith(b"menu-bar item: shown"))
        instance.stop()
        self.assertTrue(first().startswith(b"menu-bar item: not running"))

    def test_bad_servers_still_give_a_report_within_the_time_limits(self):
        server = self.start_server()
        self.set_loaded()
        cases = {
            "huge body": (200, lambda: b"{" + b" " * (100 << 20) + b"}", 0),
            "never answers": (200, b"{}", 30),
        }
        server.respond("GET", "/api/ping", 200)
        for name, (status, body, delay) in cases.items():
            with self.subTest(name):
                server.respond("GET", "/api/setup/status", status, body, delay)
                start = time.monotonic()
                r = self.tray("--ctl", "status")
                self.assertLess(time.monotonic() - start, 10)
                self.assertEqual(r.returncode, 0)
                self.assertIn(b"Tessaway Server: Running", r.stdout)
                self.assertEqual(len(r.stdout.splitlines()), 12)


class HostileDefinitionTest(BundleTestCase):
    def agents(self):
        return os.path.join(self.home, "Library", "LaunchAgents")

    def test_a_definition_that_cannot_be_read_safely_gives_the_default_port(self):
        nul_xml = server_definition("<string>80\0" "1</string>").encode()
        rows = [
            ("0 byte in an XML string", nul_xml),
            ("0 byte in a binary string", binary_plist_with_string("TESSAWAY_PORT", "80\0" "1")),
            ("deep XML nesting", deep_xml_plist(60000)),
            ("deep binary nesting", deep_binary_plist(120000)),
            ("fifo", None),
        ]
        os.makedirs(self.agents())
        path = os.path.join(self.agents(), SERVER_LABEL + ".plist")
        for name, content in rows:
            with self.subTest(name):
                if os.path.lexists(path):
                    os.remove(path)
                if content is None:
                    os.mkfifo(path)
                else:
                    with open(path, "wb") as f:
                        f.write(content)
                # tray() gives up after 10 s: a reader stuck on the FIFO fails the row.
                r = self.tray("--ctl", "status", timeout=10)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertTrue(r.stdout.startswith(b"menu-bar item: not running   port: 8011\n"))

    def test_installation_replaces_a_fifo_in_place_of_the_definition(self):
        os.makedirs(self.agents())
        path = os.path.join(self.agents(), SERVER_LABEL + ".plist")
        os.mkfifo(path)
        r = self.tray("--install-agents", "--no-open", timeout=10)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"Tessaway Server agents installed", r.stdout)
        with open(path, "rb") as f:
            self.assertIn(b"<key>TESSAWAY_PORT</key>", f.read())


class CommandTest(BundleTestCase):
    def test_pause(self):
        self.assertEqual(self.tray("--ctl", "pause").returncode, 0)
        self.assertEqual(self.verbs(), ["print", "print"])
        self.set_loaded()
        self.assertEqual(self.tray("--ctl", "pause").returncode, 0)
        self.assertFalse(self.is_loaded())

    def test_pause_that_cannot_unload_returns_1(self):
        self.set_loaded()
        self.script("never-unload")
        # stopServer() waits its full 25 seconds here before the answer is read back.
        r = self.tray("--ctl", "pause", timeout=60)
        self.assertEqual(r.returncode, 1)

    def test_resume(self):
        self.assertEqual(self.tray("--ctl", "resume").returncode, 1)  # nothing installed
        self.install_definition("<string>8011</string>")
        self.assertEqual(self.tray("--ctl", "resume").returncode, 0)
        self.assertTrue(self.is_loaded())
        self.set_loaded(loaded=False)
        self.script("bootstrap-status", "5")
        self.assertEqual(self.tray("--ctl", "resume").returncode, 1)

    def test_login_on_and_off_read_the_setting_back(self):
        self.assertEqual(self.tray("--ctl", "login-off").returncode, 0)
        with open(os.path.join(self.state, "overrides", TRAY_LABEL)) as f:
            self.assertEqual(f.read(), "disabled")
        self.assertEqual(self.tray("--ctl", "login-on").returncode, 0)
        with open(os.path.join(self.state, "overrides", SERVER_LABEL)) as f:
            self.assertEqual(f.read(), "enabled")
        self.script("enable-status", "0")
        self.assertEqual(self.tray("--ctl", "login-off").returncode, 1)
        self.set_override(SERVER_LABEL, "disabled")
        self.assertEqual(self.tray("--ctl", "login-on").returncode, 1)

    def test_quit_alone_stops_the_server_and_returns_0(self):
        self.set_loaded()
        self.assertEqual(self.tray("--ctl", "quit").returncode, 0)
        self.assertFalse(self.is_loaded())

    def test_quit_terminates_the_other_instances(self):
        first, second = self.fake_instance(), self.fake_instance()
        r = self.tray("--ctl", "quit")
        self.assertEqual(r.returncode, 0)
        self.assertTrue(first.terminated())
        self.assertTrue(second.terminated())



class LockFileTest(BundleTestCase):
    """A lock file that something else stands in for excludes nobody: whoever needs it refuses,
    says why, and fails (or, for the menu-bar item, stays away)."""

    def test_a_lock_file_replaced_by_a_link_a_folder_or_a_fifo_is_refused(self):
        self.env["QT_QPA_PLATFORM"] = "offscreen"
        self.install_definition("<string>8131</string>")
        self.set_loaded()
        run, uid = self.env["XDG_RUNTIME_DIR"], os.getuid()
        definition = os.path.join(self.root, "com.example.locked.plist")
        with open(definition, "wb") as f:
            plistlib.dump({"Label": "com.example.locked", "ProgramArguments": ["/bin/true"]}, f)
        bystander = os.path.join(self.root, "bystander")
        open(bystander, "w").close()
        kinds = [("symbolic link", lambda p: os.symlink(bystander, p), "it is a symbolic link"),
                 ("folder", os.mkdir, "it is a folder"),
                 ("fifo", os.mkfifo, "it is not a regular file")]
        locks = [  # the lock, what needs it, its status then, whose line
            ("control", os.path.join(run, "tessaway-control", "control.lock"),
             [TRAY, "--ctl", "pause"], 1, "tessaway-tray"),
            ("registry", os.path.join(run, "tessaway-apps", BUNDLE_ID, REGISTRY_LOCK),
             [TRAY, "--agent"], 0, "tessaway-tray"),
            ("overrides", os.path.join(self.env["XDG_STATE_HOME"], "tessaway-launchd",
                                       "disabled.plist.lock"),
             [LAUNCHCTL, "disable", f"gui/{uid}/com.example.locked"], 5, "launchctl"),
            ("supervisor", os.path.join(run, "tessaway-launchd", "com.example.locked.lock"),
             [LAUNCHCTL, "bootstrap", f"gui/{uid}", definition], 5, "launchctl"),
            ("load", os.path.join(run, "tessaway-launchd", ".load"),
             [LAUNCHCTL, "bootstrap", f"gui/{uid}", definition], 5, "launchctl"),
        ]
        for lock, path, command, status, program in locks:
            for kind, make, reason in kinds:
                with self.subTest(lock=lock, kind=kind):
                    os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
                    if os.path.lexists(path):  # made by a command of an earlier row
                        os.remove(path)
                    make(path)
                    try:
                        r = subprocess.run(command, env=self.env, capture_output=True,
                                           timeout=60, stdin=subprocess.DEVNULL)
                        line = f"{program}: cannot use the lock file {path}: {reason}\n"
                        self.assertEqual(r.returncode, status, r.stderr)
                        self.assertTrue(r.stderr.decode().startswith(line), r.stderr)
                    finally:
                        if os.path.isdir(path) and not os.path.islink(path):
                            os.rmdir(path)
                        else:
                            os.remove(path)
        # Nothing was stopped, no service was started, and no item stayed.
        self.assertNotIn("bootout", self.verbs())
        self.assertTrue(self.is_loaded())
        self.assertEqual(subprocess.run([LAUNCHCTL, "print", f"gui/{uid}/com.example.locked"],
                                        env=self.env, capture_output=True).returncode, 113)


if __name__ == "__main__":
    unittest.main()
