"""The start-up modes of tessaway-tray, run as processes against the scripted launchctl."""

import errno
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "doubles"))
from harness import (APP, BUNDLE_ID, REGISTRY_LOCK, SERVER_LABEL, TRAY,  # noqa: E402
                     TRAY_LABEL, BundleTestCase, TestServer, live_instances, private_tmp,
                     registry_folder, server_definition, spawn, unsafe_folder_rows, wait_for)


class ServeWhenInstalled:
    """Starts a local server on the port of the server definition as soon as it is written,
    the way the service manager would start the real one."""

    def __init__(self, test):
        self.path = os.path.join(test.home, "Library", "LaunchAgents", SERVER_LABEL + ".plist")
        self.server = None
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()
        test.addCleanup(self.stop)

    def _watch(self):
        while not self.done.is_set():
            try:
                with open(self.path) as f:
                    port = int(re.search(r"<key>TESSAWAY_PORT</key>\s*<string>(\d+)</string>",
                                         f.read()).group(1))
            except (OSError, AttributeError):
                time.sleep(0.01)
                continue
            self.server = TestServer(port)
            self.server.respond("HEAD", "/api/ping", 200)
            return

    def stop(self):
        self.done.set()
        self.thread.join()
        if self.server:
            self.server.stop()


class InstallAgentsTest(BundleTestCase):
    def agents(self):
        folder = os.path.join(self.home, "Library", "LaunchAgents")
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

    def test_fresh_with_no_open_prints_the_line_and_ends_at_once(self):
        r = self.tray("--install-agents", "--no-open", "--agent")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout.decode(), r"^Tessaway Server agents installed, port \d+ \(new\)\n$")
        self.assertEqual(self.agents(), [SERVER_LABEL + ".plist", TRAY_LABEL + ".plist"])
        self.assertTrue(os.path.isdir(os.path.join(self.home, "Library", "Logs", "Tessaway")))
        self.assertEqual(self.opened_addresses(), [])

    def test_fresh_waits_for_the_server_then_opens_the_setup_page(self):
        serving = ServeWhenInstalled(self)
        r = self.tray("--install-agents")
        self.assertEqual(r.returncode, 0, r.stderr)
        port = int(re.search(rb"port (\d+) \(new\)", r.stdout).group(1))
        self.assertEqual(self.opened_addresses(1), [f"http://localhost:{port}/setup"])
        self.assertIn(("HEAD", "/api/ping"), serving.server.requests())

    def test_a_port_taken_only_on_the_ipv6_loopback_is_not_chosen(self):
        # A browser that resolves localhost to ::1 would reach the squatter, not the server.
        def squat():
            squatter = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
            squatter.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            try:
                squatter.bind(("::1", 8011))
                with socket.socket() as probe:
                    probe.bind(("0.0.0.0", 8011))
                return squatter
            except OSError as error:
                squatter.close()
                if error.errno != errno.EADDRINUSE:
                    self.skipTest(f"no IPv6 loopback here: {error}")
                return None

        # The suites on the default ports take turns; anything else on 8011 is waited out.
        squatter = wait_for(squat, seconds=120, interval=0.2)
        self.assertIsNotNone(squatter, "8011 stayed busy on a loopback address for 2 minutes")
        self.addCleanup(squatter.close)
        squatter.listen()
        r = self.tray("--install-agents", "--no-open")
        self.assertEqual(r.returncode, 0, r.stderr)
        port = int(re.search(rb"port (\d+) \(new\)", r.stdout).group(1))
        self.assertNotEqual(port, 8011)

    def test_existing_definition_prints_the_line_without_new_and_ends_at_once(self):
        self.install_definition("<string>8123</string>")
        start = time.monotonic()
        r = self.tray("--install-agents")
        self.assertLess(time.monotonic() - start, 10)  # no 30-second wait
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, b"Tessaway Server agents installed, port 8123\n")
        self.assertEqual(self.opened_addresses(), [])
        self.assertIn(["bootstrap", f"gui/{os.getuid()}",
                       os.path.join(self.home, "Library", "LaunchAgents", SERVER_LABEL + ".plist")],
                      self.calls())

    def test_missing_template_ends_with_status_1(self):
        copy = os.path.join(self.root, "Copy", "Tessaway.app")
        shutil.copytree(APP, copy, symlinks=True)
        os.remove(os.path.join(copy, "Contents", "Resources", TRAY_LABEL + ".plist.in"))
        r = subprocess.run([os.path.join(copy, "Contents", "MacOS", "tessaway-tray"),
                            "--install-agents", "--no-open"], env=self.env, capture_output=True,
                           timeout=60)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, b"missing template for com.quorvel.tessaway-tray\n")
        self.assertEqual(r.stdout, b"")
        self.assertEqual(self.agents(), [SERVER_LABEL + ".plist"])
        with open(os.path.join(self.home, "Library", "LaunchAgents", SERVER_LABEL + ".plist")) as f:
            self.assertIn(copy + "/Contents/MacOS/tessaway-server", f.read())

    def test_killing_the_installer_never_leaves_a_partial_definition(self):
        path = os.path.join(self.home, "Library", "LaunchAgents", SERVER_LABEL + ".plist")
        os.makedirs(os.path.dirname(path))
        old = server_definition("<string>8123</string>").replace("<dict>", "<dict><!-- old -->", 1)

        def run(kill_after=None):
            with open(path, "w") as f:
                f.write(old)
            # Its own process group, so that the launchctl it may be running dies with it.
            proc = subprocess.Popen([TRAY, "--install-agents", "--no-open"], env=self.env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    start_new_session=True)
            try:
                if kill_after is None:
                    proc.wait(timeout=60)
                else:
                    time.sleep(kill_after)
                    os.killpg(proc.pid, signal.SIGKILL)
            finally:
                if proc.poll() is None:
                    os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
            with open(path) as f:
                return f.read()

        start = time.monotonic()
        new = run()
        duration = time.monotonic() - start
        self.assertNotEqual(new, old)
        rng = random.Random(7)
        outcomes = set()
        for _ in range(40):
            content = run(kill_after=rng.uniform(0, duration))
            self.assertIn(content, (old, new))
            outcomes.add(content == new)
        self.assertIn("<string>8123</string>", new)
        self.assertEqual(outcomes, {False, True}, "the kills should land both before and after "
                                                  "the definition is replaced")


class StartModesTest(BundleTestCase):
    def test_first_run_installs_waits_opens_and_ends_without_a_menu_bar(self):
        serving = ServeWhenInstalled(self)
        r = self.tray()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, b"")  # nothing printed on a first run
        port = serving.server.port
        self.assertEqual(self.opened_addresses(1), [f"http://localhost:{port}/setup"])
        self.assertTrue(os.path.exists(os.path.join(self.home, "Library", "LaunchAgents",
                                                    TRAY_LABEL + ".plist")))

    def test_no_open_alone_changes_nothing(self):
        serving = ServeWhenInstalled(self)
        r = self.tray("--no-open")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.opened_addresses(1),
                         [f"http://localhost:{serving.server.port}/setup"])

    def test_agent_without_a_definition_installs_nothing(self):
        self.fake_instance()  # another instance keeps the menu bar, so this one ends
        r = self.tray("--agent")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.home, "Library", "LaunchAgents")))
        self.assertEqual(self.calls(), [])
        self.assertEqual(self.opened_addresses(), [])

    def test_second_manual_start_starts_the_server_opens_the_page_and_ends(self):
        server = self.start_server()
        server.respond("HEAD", "/api/ping", 200)
        self.fake_instance()
        r = self.tray()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.verbs()[:3], ["print", "print-disabled", "bootstrap"])
        self.assertTrue(self.is_loaded())
        self.assertEqual(self.opened_addresses(1), [f"http://localhost:{server.port}/setup"])

    def test_manual_start_that_cannot_start_the_server_still_opens_the_page(self):
        self.install_definition("<string>8124</string>")
        self.script("bootstrap-status", "5")
        self.fake_instance()
        start = time.monotonic()
        r = self.tray()
        self.assertLess(time.monotonic() - start, 15)  # no 20-second wait without a server
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.opened_addresses(1), ["http://localhost:8124/setup"])

    def test_menu_bar_module_that_cannot_load_is_one_line_and_status_0(self):
        copy = os.path.join(self.root, "Copy", "Tessaway.app")
        shutil.copytree(APP, copy, symlinks=True)
        shutil.rmtree(os.path.join(copy, "Contents", "PlugIns"), ignore_errors=True)
        self.install_definition("<string>8125</string>")
        r = subprocess.run([os.path.join(copy, "Contents", "MacOS", "tessaway-tray"), "--agent"],
                           env=self.env, capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0)
        self.assertRegex(r.stderr.decode(), r"^tessaway-tray: cannot load the menu bar: [^\n]+\n$")


class SingleInstanceTest(BundleTestCase):
    """Exactly one instance keeps the menu-bar item, whatever the timing of the starts."""

    def setUp(self):
        super().setUp()
        self.env["QT_QPA_PLATFORM"] = "offscreen"
        self.registry = registry_folder(self.env)

    def start(self, *args):
        return spawn(self, [*self.prefix, TRAY, *args], env=self.env, stdin=subprocess.DEVNULL,
                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def ctl(self, word):
        return self.tray("--ctl", word)

    def test_ten_agent_starts_at_the_same_moment_keep_one_item(self):
        self.install_definition("<string>8126</string>")
        self.set_loaded()
        processes = [self.start("--agent") for _ in range(10)]
        self.assertTrue(wait_for(lambda: sum(p.poll() is not None for p in processes) >= 9),
                        "the instances did not settle")
        ended = [p for p in processes if p.poll() is not None]
        running = [p for p in processes if p.poll() is None]
        self.assertEqual(len(ended), 9)
        self.assertEqual([p.returncode for p in ended], [0] * 9,
                         [p.stderr.read() for p in ended])
        self.assertEqual(len(running), 1)
        # The one left shows the item: it is the live entry and asks the service manager.
        self.assertTrue(wait_for(lambda: any(c[0] == "print" for c in self.calls())))
        self.assertEqual(live_instances(self.registry), [running[0].pid])
        self.assertEqual(sorted(os.listdir(self.registry)), sorted([str(running[0].pid),
                                                                     REGISTRY_LOCK]))
        self.assertIn("menu-bar item: shown", self.ctl("status").stdout.decode())
        running[0].terminate()
        self.assertEqual(running[0].wait(timeout=30), 0)
        self.assertEqual(live_instances(self.registry), [])

    def test_two_manual_starts_two_seconds_apart_keep_one_item(self):
        server = self.start_server()
        server.respond("HEAD", "/api/ping", 405)  # never ready: both wait the whole 20 s
        self.set_loaded()
        first = self.start()
        self.assertTrue(wait_for(lambda: first.pid in live_instances(self.registry)))
        time.sleep(2)
        second = self.start()
        self.assertEqual(second.wait(timeout=60), 0, second.stderr.read())
        self.assertIsNone(first.poll(), "the first start lost its item")
        self.assertEqual(live_instances(self.registry), [first.pid])
        self.assertEqual(self.opened_addresses(2), [f"http://localhost:{server.port}/setup"] * 2)
        first.terminate()
        self.assertEqual(first.wait(timeout=30), 0)

    def test_a_start_beside_any_registered_instance_ends(self):
        # The keeper of the item, and a manual start in its start-up wait that is not the keeper:
        # both are running instances, so each later start ends with 0.
        server = self.start_server()
        server.respond("HEAD", "/api/ping", 405)  # never ready: a manual start waits 20 s
        self.set_loaded()
        keeper = self.start("--agent")
        self.assertTrue(wait_for(lambda: any(c[0] == "print" for c in self.calls())))
        waiting = self.start()
        self.assertTrue(wait_for(lambda: waiting.pid in live_instances(self.registry)))
        agent = self.tray("--agent")
        self.assertEqual((agent.returncode, agent.stderr), (0, b""))
        # The keeper goes while the other still waits: that one saw it, and ends all the same.
        keeper.kill()
        keeper.wait()
        self.assertEqual(waiting.wait(timeout=60), 0, waiting.stderr.read())
        self.assertEqual(live_instances(self.registry), [])

    def test_an_instance_in_its_start_up_wait_is_shown_and_quits(self):
        server = self.start_server()
        server.respond("HEAD", "/api/ping", 405)
        self.set_loaded()
        waiting = self.start()
        self.assertTrue(wait_for(lambda: waiting.pid in live_instances(self.registry)))
        self.assertTrue(wait_for(lambda: ("HEAD", "/api/ping") in server.requests()))
        self.assertIn("menu-bar item: shown", self.ctl("status").stdout.decode())
        began = time.monotonic()
        self.assertEqual(self.ctl("quit").returncode, 0)
        self.assertEqual(waiting.wait(timeout=10), 0)
        self.assertLess(time.monotonic() - began, 10, "it ended only after its wait")
        self.assertEqual(self.opened_addresses(), [], "a quit instance opens no page")
        self.assertIn("menu-bar item: not running", self.ctl("status").stdout.decode())


class RegistryFallbackTest(BundleTestCase):
    """Without XDG_RUNTIME_DIR the registry lies in the shared temporary folder, /tmp, whatever
    TMPDIR says (here a /tmp of the test's own)."""

    def setUp(self):
        super().setUp()
        self.prefix, tmp = private_tmp(self)
        del self.env["XDG_RUNTIME_DIR"]
        self.env["TMPDIR"] = os.path.join(self.root, "elsewhere-tmp")
        self.env["QT_QPA_PLATFORM"] = "offscreen"
        self.folder = os.path.join(tmp, f"tessaway-apps-{os.getuid()}")
        self.install_definition("<string>8127</string>")

    def test_a_missing_folder_is_made_private_and_used(self):
        agent = subprocess.Popen([*self.prefix, TRAY, "--agent"], env=self.env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: agent.poll() is None and agent.kill())
        registry = os.path.join(self.folder, BUNDLE_ID)
        self.assertTrue(wait_for(lambda: live_instances(registry) == [agent.pid]))
        self.assertEqual(os.lstat(self.folder).st_mode & 0o777, 0o700)
        self.assertIn(b"menu-bar item: shown", self.tray("--ctl", "status").stdout)
        agent.terminate()
        self.assertEqual(agent.wait(timeout=30), 0)

    def test_a_folder_that_is_not_ours_alone_is_refused_and_left_untouched(self):
        elsewhere = os.path.join(self.root, "elsewhere")
        os.makedirs(elsewhere, mode=0o700)

        rows = unsafe_folder_rows(self.folder, elsewhere)
        line = "tessaway-tray: not using {}: {}\n"
        for name, make, reason in rows:
            with self.subTest(name):
                make()
                try:
                    expected = line.format(f"/tmp/tessaway-apps-{os.getuid()}", reason).encode()
                    status = self.tray("--ctl", "status")
                    self.assertEqual((status.returncode, status.stderr), (0, expected))
                    self.assertIn(b"menu-bar item: not running", status.stdout)
                    quit_ = self.tray("--ctl", "quit")
                    self.assertEqual((quit_.returncode, quit_.stderr), (0, expected))
                    # Still shows its item: nobody could be asked whether another one does.
                    os.remove(self.calls_path())
                    agent = subprocess.Popen([*self.prefix, TRAY, "--agent"], env=self.env,
                                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                    try:
                        self.assertTrue(wait_for(
                            lambda: any(c[0] == "print" for c in self.calls())))
                        self.assertIsNone(agent.poll())
                    finally:
                        agent.terminate()
                        _, err = agent.communicate(timeout=30)
                    # The toolkit has lines of its own; ours is one.
                    ours = [l for l in err.splitlines(True) if l.startswith(b"tessaway-tray")]
                    self.assertEqual(ours, [expected], err.decode())
                    inside = self.folder if os.path.isdir(self.folder) else elsewhere
                    self.assertEqual(os.listdir(inside), [])
                    self.assertEqual(os.listdir(elsewhere), [])
                finally:
                    if os.path.islink(self.folder):
                        os.remove(self.folder)
                    else:
                        os.rmdir(self.folder)

    def calls_path(self):
        return os.path.join(self.state, "calls")


if __name__ == "__main__":
    unittest.main()
