"""Process-level tests of tessaway-server.

Each test copies the built launcher into a temporary bundle, X.app/Contents/MacOS/, whose
Resources hold python/bin/python3 (a link to the machine's interpreter) and app/server_main.py
(fake_server_main.py, which records how it was started and then does what the test asks).

The test process makes itself a child subreaper, so anything the launcher leaves behind becomes
its child: every test ends by killing and reaping such strays, and fails if there were any.
"""
import ctypes
import json
import os
import resource
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "doubles"))
import processes  # noqa: E402
from harness import LAUNCHER  # noqa: E402

FORK_SHIM = os.environ.get("TESSAWAY_FORK_SHIM", "")
SANITIZED = os.environ.get("TESSAWAY_SANITIZED") == "1"
PYTHON = os.path.realpath(sys.executable)

# Long enough for a slow (sanitized, loaded) machine, short enough to fail quickly.
TIMEOUT = 10.0


def setUpModule():
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_CHILD_SUBREAPER = 36
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")
    # No core files from children that die of SIGQUIT or SIGSEGV.
    resource.setrlimit(resource.RLIMIT_CORE, (0, resource.getrlimit(resource.RLIMIT_CORE)[1]))


class Lines:
    """Reads the lines a process writes to a pipe, with a time limit."""

    def __init__(self, stream):
        self.fd = stream.fileno()
        self.buffer = b""

    def next(self, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError(f"no line within {timeout} s (have {self.buffer!r})")
            ready, _, _ = select.select([self.fd], [], [], remaining)
            if ready:
                chunk = os.read(self.fd, 65536)
                if not chunk:
                    raise AssertionError(f"output ended (have {self.buffer!r})")
                self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.decode()


class Bundle:
    """A temporary X.app with the launcher and, as asked, its resources."""

    def __init__(self, root, name="X.app", resources=True, interpreter=True):
        self.app = os.path.join(root, name)
        self.contents = os.path.join(self.app, "Contents")
        self.launcher = os.path.join(self.contents, "MacOS", "tessaway-server")
        self.resources = os.path.join(self.contents, "Resources")
        os.makedirs(os.path.dirname(self.launcher))
        shutil.copy2(LAUNCHER, self.launcher)
        if resources:
            populate_resources(self.resources, interpreter)

    @property
    def interpreter(self):
        return os.path.join(self.resources, "python", "bin", "python3")

    @property
    def script(self):
        return os.path.join(self.resources, "app", "server_main.py")


def populate_resources(resources, interpreter=True):
    os.makedirs(os.path.join(resources, "python", "bin"), exist_ok=True)
    os.makedirs(os.path.join(resources, "app"), exist_ok=True)
    shutil.copy(os.path.join(HERE, "fake_server_main.py"),
                os.path.join(resources, "app", "server_main.py"))
    if interpreter:
        os.symlink(PYTHON, os.path.join(resources, "python", "bin", "python3"))


def deep_folder(root, length):
    """Creates and returns a folder under `root` whose path is exactly `length` characters."""
    os.makedirs(root, exist_ok=True)
    path = root
    while len(path) < length:
        remaining = length - len(path)
        step = min(200, remaining - 1)
        if remaining - (step + 1) == 1:
            step -= 1  # a last step of one "/" and no name is impossible
        path = os.path.join(path, "x" * step)
        os.mkdir(path)
    assert len(path) == length, (len(path), length)
    return path


class LauncherCase(unittest.TestCase):
    def setUp(self):
        self.addCleanup(self.reap_strays)
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="tessaway-launcher-"))
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.home = os.path.join(self.root, "home")
        self.work = os.path.join(self.root, "work")
        os.mkdir(self.home)
        os.mkdir(self.work)
        self.record_path = os.path.join(self.root, "record.json")

    def reap_strays(self):
        strays = processes.children_of(os.getpid())
        for pid in strays:
            try:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            except (ProcessLookupError, ChildProcessError):
                pass
        self.assertEqual(strays, [], "processes left behind")

    def environment(self, action="exit 0", record=True, **extra):
        env = {"PATH": "/usr/bin:/bin", "HOME": self.home, "LC_ALL": "C.UTF-8",
               "TESSAWAY_PORT": "8123", "TESSAWAY_TEST_ACTION": action}
        if record:
            env["TESSAWAY_TEST_RECORD"] = self.record_path
        # A sanitized launcher reports through these; pass them on when the caller set them.
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if name in os.environ:
                env[name] = os.environ[name]
        env.update(extra)
        return env

    def start(self, executable, args=(), env=None, cwd=None):
        process = subprocess.Popen([executable, *args], env=env or self.environment(),
                                   cwd=cwd or self.work, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(self.stop, process)
        return process

    def stop(self, process):
        if process.poll() is None:
            process.kill()
            process.wait()
        process.stdout.close()
        process.stderr.close()

    def run_launcher(self, executable, args=(), env=None, cwd=None):
        """Runs the launcher to its end; returns (status, stdout, stderr)."""
        process = self.start(executable, args, env, cwd)
        try:
            out, err = process.communicate(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            self.fail(f"launcher still running after {TIMEOUT} s")
        return process.returncode, out.decode(), err.decode()

    def record(self):
        with open(self.record_path, encoding="utf-8") as f:
            return json.load(f)

    def assert_gone(self, pid):
        self.assertIsNone(processes.state(pid), f"process {pid} still exists")


class ArgumentVectorTest(LauncherCase):
    def test_interpreter_gets_fixed_options_script_and_passed_arguments(self):
        bundle = Bundle(self.root)
        cases = {
            "none": [],
            "two": ["a", "b"],
            "awkward": ["", "with space", "", "-s", "--port=1 2", "ünïcødé", "*", ""],
        }
        for name, args in cases.items():
            with self.subTest(name):
                status, out, err = self.run_launcher(bundle.launcher, args)
                self.assertEqual((status, out, err), (0, "", ""))
                recorded = self.record()
                self.assertEqual(recorded["argv"],
                                 [bundle.interpreter, "-s", "-B", bundle.script, *args])
                self.assertEqual(recorded["cwd"], self.work)
                os.remove(self.record_path)


class EnvironmentTest(LauncherCase):
    def test_environment_table(self):
        bundle = Bundle(self.root)
        caller = {"PYTHONNOUSERSITE": "0", "PYTHONDONTWRITEBYTECODE": "",
                  "PYTHONHOME": "/nowhere", "PYTHONPATH": "/nowhere/lib",
                  "OTHER": "kept = as is"}
        cases = [
            ("packaging absent", {}, "macos"),
            ("packaging set", {"TESSAWAY_PACKAGING": "linux"}, "linux"),
            ("packaging empty", {"TESSAWAY_PACKAGING": ""}, ""),
        ]
        for name, packaging, expected_packaging in cases:
            with self.subTest(name):
                env = self.environment(**caller, **packaging)
                status, _, err = self.run_launcher(bundle.launcher, env=env)
                self.assertEqual((status, err), (0, ""))
                expected = dict(env)
                del expected["PYTHONHOME"], expected["PYTHONPATH"]
                expected.update(PYTHONNOUSERSITE="1", PYTHONDONTWRITEBYTECODE="1",
                                TESSAWAY_PACKAGING=expected_packaging)
                self.assertEqual(self.record()["env"], expected)
                self.assertEqual(self.record()["env"]["TESSAWAY_PORT"], "8123")
                os.remove(self.record_path)


class ExitStatusTest(LauncherCase):
    def test_status_follows_how_the_child_ended(self):
        bundle = Bundle(self.root)
        cases = [
            ("exit 0", 0), ("exit 3", 3), ("exit 127", 127), ("exit 255", 255),
            ("signal 15", 0), ("signal 2", 0), ("signal 9", 137), ("signal 1", 129),
            ("signal 3", 131), ("signal 10", 138), ("signal 11", 139),
        ]
        for action, expected in cases:
            with self.subTest(action):
                env = self.environment(action, record=False)
                status, _, _ = self.run_launcher(bundle.launcher, env=env)
                self.assertEqual(status, expected)

    def test_child_that_handles_sigterm_decides_the_status(self):
        bundle = Bundle(self.root)
        for code in (0, 9):
            with self.subTest(code=code):
                process = self.start(bundle.launcher,
                                     env=self.environment(f"trap {code}", record=False))
                self.assertEqual(Lines(process.stdout).next(), "ready")
                process.send_signal(signal.SIGTERM)
                self.assertEqual(process.wait(TIMEOUT), code)


class RelayTest(LauncherCase):
    def start_reporting(self, bundle):
        process = self.start(bundle.launcher, env=self.environment("report", record=False))
        lines = Lines(process.stdout)
        word, pid = lines.next().split()
        self.assertEqual(word, "ready")
        return process, lines, int(pid)

    def test_each_termination_signal_reaches_the_child(self):
        process, lines, child = self.start_reporting(Bundle(self.root))
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT):
            process.send_signal(sig)
            self.assertEqual(lines.next(), str(int(sig)), sig.name)
        self.assertIsNone(process.poll())
        os.kill(child, signal.SIGKILL)
        self.assertEqual(process.wait(TIMEOUT), 137)
        self.assert_gone(child)

    def test_other_signal_is_not_relayed(self):
        process, lines, child = self.start_reporting(Bundle(self.root))
        process.send_signal(signal.SIGUSR1)
        # SIGUSR1 keeps its default action in the launcher: it ends the launcher alone.
        self.assertEqual(process.wait(TIMEOUT), -signal.SIGUSR1)
        # Pending signals are taken lowest number first, so a relayed SIGUSR1 would be reported
        # before this SIGUSR2 sent straight to the child.
        os.kill(child, signal.SIGUSR2)
        seen = []
        while not seen or seen[-1] != str(int(signal.SIGUSR2)):
            seen.append(lines.next())
        self.assertEqual(seen, [str(int(signal.SIGUSR2))])
        # The orphaned child became this process's child; end it here.
        os.kill(child, signal.SIGKILL)
        os.waitpid(child, 0)


class StartupWindowTest(LauncherCase):
    def test_signal_raised_inside_fork_reaches_the_child(self):
        # The preloaded shim sends the signal from inside fork(): after the handlers are
        # installed, before the launcher knows the child. A lost signal lets the child linger
        # and end with 42.
        bundle = Bundle(self.root)
        cases = [(signal.SIGTERM, 0), (signal.SIGINT, 0), (signal.SIGHUP, 129),
                 (signal.SIGQUIT, 131)]
        for sig, expected in cases:
            with self.subTest(sig.name):
                env = self.environment("linger", record=False, LD_PRELOAD=FORK_SHIM,
                                       TESSAWAY_TEST_FORK_SIGNAL=str(int(sig)))
                # A sanitized launcher would refuse a library preloaded ahead of its runtime.
                env["ASAN_OPTIONS"] = ":".join(
                    filter(None, [env.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
                status, _, err = self.run_launcher(bundle.launcher, env=env)
                self.assertEqual(status, expected, err)

    def sigterm_after(self, bundle, delay):
        """Starts the launcher, sends it SIGTERM `delay` seconds later; returns its status."""
        process = self.start(bundle.launcher, env=self.environment("linger", record=False))
        deadline = time.perf_counter() + delay
        while time.perf_counter() < deadline:
            pass
        os.kill(process.pid, signal.SIGTERM)
        status = process.wait(TIMEOUT)
        self.stop(process)
        # Before the handlers exist the signal ends the launcher itself; after that the child
        # dies of it and the launcher ends with 0. A lost signal lets the child end with 42.
        self.assertIn(status, (0, -signal.SIGTERM), f"after {delay * 1e6:.0f} us")
        return status

    def test_sigterm_right_after_start_is_never_lost(self):
        bundle = Bundle(self.root)
        # Find where the start-up ends on this machine: the shortest delay, doubling, after
        # which the signal is relayed rather than ending the launcher itself.
        low, high = 0.0, 50e-6
        while 0 not in [self.sigterm_after(bundle, high) for _ in range(3)]:
            self.assertLess(high, 1.0, "the launcher never got as far as starting its child")
            low, high = high, high * 2
        # Then many signals at delays spread across that boundary, where the window lies; as many
        # as fit in a few seconds on a slow (sanitized) build.
        outcomes = {}
        budget = time.monotonic() + 4.0
        for i in range(300):
            if time.monotonic() > budget:
                break
            status = self.sigterm_after(bundle, low + (high - low) * (i % 50) / 49)
            outcomes[status] = outcomes.get(status, 0) + 1
        if os.environ.get("TESSAWAY_TEST_VERBOSE"):
            rounds = sum(outcomes.values())
            print(f"\n{rounds} rounds, {low * 1e6:.0f} to {high * 1e6:.0f} us: {outcomes}",
                  file=sys.stderr)


class LocationTest(LauncherCase):
    def test_no_resources_folder(self):
        bundle = Bundle(self.root, resources=False)
        status, out, err = self.run_launcher(bundle.launcher)
        self.assertEqual((status, out, err),
                         (70, "", "tessaway-server: no Resources dir: No such file or directory\n"))
        self.assertFalse(os.path.exists(self.record_path))

    def test_resources_path_too_long_to_resolve(self):
        bundle = Bundle(self.root, resources=False)
        target = deep_folder(os.path.join(self.root, "far"), 1100)
        populate_resources(target)
        os.symlink(target, bundle.resources)
        status, _, err = self.run_launcher(bundle.launcher)
        self.assertEqual((status, err),
                         (70, "tessaway-server: no Resources dir: File name too long\n"))

    def test_executable_path_too_long(self):
        folder = deep_folder(os.path.join(self.root, "deep"), 1010)
        bundle = Bundle(folder, name="Y.app")
        self.assertGreater(len(bundle.launcher), 1023)
        status, out, err = self.run_launcher("./tessaway-server",
                                             cwd=os.path.dirname(bundle.launcher))
        self.assertEqual((status, out, err), (70, "", "tessaway-server: cannot locate myself\n"))

    def test_interpreter_path_cut_to_the_buffer(self):
        # Resources resolve to 1010 characters, so the interpreter's path (1029) is cut and
        # cannot be started, although the full path exists.
        bundle = Bundle(self.root, resources=False)
        target = deep_folder(os.path.join(self.root, "far"), 1010)
        populate_resources(target)
        os.symlink(target, bundle.resources)
        self.assertTrue(os.access(os.path.join(target, "python/bin/python3"), os.X_OK))
        status, _, err = self.run_launcher(bundle.launcher)
        self.assertEqual((status, err),
                         (127, "tessaway-server: exec python: No such file or directory\n"))

    def test_interpreter_that_cannot_be_started(self):
        cases = [("missing", "No such file or directory"), ("not executable", "Permission denied")]
        for name, description in cases:
            with self.subTest(name):
                bundle = Bundle(os.path.join(self.root, name.replace(" ", "-")), interpreter=False)
                if name == "not executable":
                    with open(bundle.interpreter, "w") as f:
                        f.write("#!/bin/sh\nexit 0\n")
                    os.chmod(bundle.interpreter, 0o644)
                status, out, err = self.run_launcher(bundle.launcher)
                self.assertEqual((status, out, err),
                                 (127, "", f"tessaway-server: exec python: {description}\n"))

    def test_reached_through_symbolic_links(self):
        bundle = Bundle(self.root)
        elsewhere = os.path.join(self.root, "elsewhere")
        os.mkdir(elsewhere)
        linked_file = os.path.join(elsewhere, "tessaway-server")
        os.symlink(bundle.launcher, linked_file)
        linked_app = os.path.join(elsewhere, "Linked.app")
        os.symlink(os.path.relpath(bundle.app, elsewhere), linked_app)
        for name, path in [("file", linked_file),
                           ("folder", os.path.join(linked_app, "Contents/MacOS/tessaway-server"))]:
            with self.subTest(name):
                status, _, err = self.run_launcher(path, ["x"])
                self.assertEqual((status, err), (0, ""))
                self.assertEqual(self.record()["argv"],
                                 [bundle.interpreter, "-s", "-B", bundle.script, "x"])
                os.remove(self.record_path)


class StormTest(LauncherCase):
    def test_thousand_signals_each_relayed_to_the_live_child(self):
        bundle = Bundle(self.root)
        process = self.start(bundle.launcher, env=self.environment("report", record=False))
        lines = Lines(process.stdout)
        word, pid = lines.next().split()
        child = int(pid)
        # One at a time, each acknowledged by the child: none may be lost.
        for i in range(1000):
            sig = signal.SIGTERM if i % 2 == 0 else signal.SIGHUP
            os.kill(process.pid, sig)
            self.assertEqual(lines.next(), str(int(sig)), f"signal {i}")
        # Then as fast as they can be sent: signals merge, but the launcher keeps waiting.
        for i in range(1000):
            os.kill(process.pid, signal.SIGTERM if i % 2 == 0 else signal.SIGHUP)
        os.kill(child, signal.SIGUSR2)
        while lines.next() != str(int(signal.SIGUSR2)):
            pass
        self.assertIsNone(process.poll())
        self.assertEqual(processes.children_of(process.pid), [child])
        os.kill(child, signal.SIGKILL)
        self.assertEqual(process.wait(TIMEOUT), 137)
        self.assert_gone(child)

    def test_child_killed_during_a_storm_gives_the_mapped_status(self):
        bundle = Bundle(self.root)
        for round_ in range(10):
            process = self.start(bundle.launcher, env=self.environment("report", record=False))
            word, pid = Lines(process.stdout).next().split()
            child = int(pid)
            for i in range(200):
                os.kill(process.pid, signal.SIGTERM if i % 2 == 0 else signal.SIGHUP)
            os.kill(child, signal.SIGKILL)
            # Keep signalling until the launcher has ended; it is not reaped yet, so its id
            # cannot pass to another process meanwhile.
            deadline = time.monotonic() + TIMEOUT
            while processes.state(process.pid) != "Z":
                self.assertLess(time.monotonic(), deadline, f"round {round_}")
                os.kill(process.pid, signal.SIGHUP)
            self.assertEqual(process.wait(TIMEOUT), 137, f"round {round_}")
            self.assert_gone(child)
            self.stop(process)


class ValgrindTest(LauncherCase):
    def test_relaying_under_memcheck_is_clean(self):
        if SANITIZED:
            self.skipTest("the launcher is built with sanitizers")
        valgrind = shutil.which("valgrind")
        if valgrind is None:
            self.skipTest("valgrind is not installed")
        bundle = Bundle(self.root)
        # One log per process: the launcher's, and its child's until that becomes the
        # interpreter, which then runs without memcheck.
        logs = os.path.join(self.root, "memcheck")
        os.mkdir(logs)
        process = self.start(valgrind,
                             ["--trace-children=no", "--error-exitcode=99", "--leak-check=full",
                              f"--log-file={logs}/%p.log", bundle.launcher, "a", ""],
                             env=self.environment("report", record=False))
        lines = Lines(process.stdout)
        word, pid = lines.next(timeout=30).split()
        child = int(pid)
        for i in range(500):
            sig = signal.SIGTERM if i % 2 == 0 else signal.SIGHUP
            os.kill(process.pid, sig)
            self.assertEqual(lines.next(), str(int(sig)), f"signal {i}")
        os.kill(child, signal.SIGKILL)
        # 99 would mean that memcheck found an error in the launcher.
        self.assertEqual(process.wait(30), 137)
        reports = {}
        for name in os.listdir(logs):
            with open(os.path.join(logs, name), encoding="utf-8") as f:
                reports[name] = f.read()
        self.assertEqual(len(reports), 2, list(reports))
        self.assertIn(f"{process.pid}.log", reports)
        self.assertIn("ERROR SUMMARY: 0 errors", reports[f"{process.pid}.log"])
        for name, report in reports.items():
            # Every error and every lost block is reported with a stack trace.
            self.assertNotRegex(report, r"==\d+==\s+at 0x", f"{name}:\n{report}")


if __name__ == "__main__":
    unittest.main()
