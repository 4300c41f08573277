"""Shared pieces of the process-level tests: a hermetic environment for the built bundle, the
scripted launchctl, the fake browser, the scripted local HTTP server (test_http_server.py),
and stand-ins for running menu-bar instances."""

import ctypes
import errno
import fcntl
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import processes
from test_http_server import TestServer
from user_manager import UserManager

HERE = os.path.dirname(os.path.abspath(__file__))
FAKE_LAUNCHCTL = os.path.join(HERE, "fake_launchctl")
FAKE_BROWSER_DIR = os.path.join(HERE, "browser")
# The built bundle, which ctest hands every process suite; each program under test is found in it.
APP = os.environ.get("TESSAWAY_APP", "")
TRAY = os.path.join(APP, "Contents", "MacOS", "tessaway-tray")
LAUNCHCTL = os.path.join(APP, "Contents", "MacOS", "launchctl")
LAUNCHER = os.path.join(APP, "Contents", "MacOS", "tessaway-server")
SERVER_SCRIPT = os.path.join(APP, "Contents", "Resources", "app", "server_main.py")
BUNDLE_ID = "com.quorvel.tessaway"
SERVER_LABEL = "com.quorvel.tessaway-server"
TRAY_LABEL = "com.quorvel.tessaway-tray"
# The backend of the bundle's launchctl that a suite runs against, named as the tool's own
# switch names it: "standin" (its own supervisors) or "systemd" (a private user manager).
BACKEND = os.environ.get("TESSAWAY_SERVICE_MANAGER", "standin")


def server_definition(port_element):
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n'
        f"\t<key>Label</key>\n\t<string>{SERVER_LABEL}</string>\n"
        "\t<key>EnvironmentVariables</key>\n\t<dict>\n"
        f"\t\t<key>TESSAWAY_PORT</key>\n\t\t{port_element}\n\t</dict>\n</dict>\n</plist>\n"
    )


def deep_xml_plist(depth):
    """An XML property list of `depth` nested one-element arrays."""
    return (b'<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">'
            + b"<array>" * depth + b"</array>" * depth + b"</plist>\n")


def deep_binary_plist(depth):
    """A binary property list of `depth` nested one-element arrays (120,000 fit in 1 MiB)."""
    size = 3  # bytes per reference and per offset: enough for 16 million objects
    objects = [b"\xa1" + (i + 1).to_bytes(size, "big") for i in range(depth - 1)] + [b"\xa0"]
    data, offsets = bytearray(b"bplist00"), []
    for item in objects:
        offsets.append(len(data))
        data += item
    table = len(data)
    for offset in offsets:
        data += offset.to_bytes(size, "big")
    data += (bytes(6) + bytes([size, size]) + depth.to_bytes(8, "big") + bytes(8)
             + table.to_bytes(8, "big"))
    return bytes(data)


def binary_plist_with_string(key, value):
    """A binary property list {key: value} whose string `value` may hold a 0 byte (stored as
    UTF-16 when it is not ASCII)."""
    import plistlib
    marker = "\u00e9"  # makes plistlib store the value as UTF-16
    data = plistlib.dumps({key: value.replace("\0", marker)}, fmt=plistlib.FMT_BINARY)
    return data.replace(marker.encode("utf-16-be"), b"\0\0")


def wait_for(condition, seconds=30.0, interval=0.02):
    """Polls `condition` until it holds or `seconds` pass; its last value. Generous, since it
    returns as soon as the condition holds."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(interval)
    return condition()


def dead_port():
    """A loopback port where nothing listens."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


REGISTRY_LOCK = "registry.lock"


def registry_folder(env):
    return os.path.join(env["XDG_RUNTIME_DIR"], "tessaway-apps", BUNDLE_ID)


def live_instances(folder):
    """Process ids of the registry entries in `folder` whose lock is held, as the controller
    counts them; entries of ended processes are not listed."""
    live = []
    for name in os.listdir(folder) if os.path.isdir(folder) else []:
        if not name.isdigit():
            continue
        try:
            fd = os.open(os.path.join(folder, name), os.O_RDONLY)
        except FileNotFoundError:
            continue
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            live.append(int(name))
        finally:
            os.close(fd)
    return sorted(live)


def private_tmp(test, *keep):
    """A command prefix that runs a program with a folder of the test's own (made here, open to
    all as /tmp is) in place of /tmp, in a mount namespace of its own, so that what it keeps in
    the shared temporary folder stays the test's (and the programs that one test starts this way
    all see the same folder); and that folder. The test's own folder, the bundle under test, the
    doubles and the folders in `keep` stay where they are, also when they lie in /tmp (a
    checkout there).
    Skips the test, saying why, where mount namespaces are refused."""
    folder = os.path.join(test.root, "tmp")
    os.makedirs(folder)
    os.chmod(folder, 0o1777)
    outer = []
    for path in sorted({os.path.realpath(p) for p in (test.root, APP, HERE, *keep) if p}):
        if os.path.relpath(path, "/tmp").startswith(".."):
            continue
        if not any(path.startswith(o + os.sep) for o in outer):
            outer.append(path)
    binds = []
    for path in outer:
        inside = os.path.join(folder, os.path.relpath(path, "/tmp"))
        os.makedirs(inside, exist_ok=True)
        binds += [path, inside]
    # Each kept folder is bound into the new /tmp before it takes the place of the old one.
    script = ('while [ "$1" != -- ]; do mount --bind "$1" "$2" || exit 1; shift 2; done; '
              'shift; mount --rbind "$0" /tmp && exec "$@"')
    prefix = ["unshare", "-m", "--propagation", "private", "sh", "-c", script, folder, *binds,
              "--"]
    try:
        probe = subprocess.run(prefix + ["true"], capture_output=True, timeout=30)
    except OSError as error:
        test.skipTest(f"no private /tmp here: {error}")
    if probe.returncode != 0:
        test.skipTest("no private /tmp here: " + probe.stderr.decode(errors="replace").strip())
    return prefix, folder


def spawn(test, args, **popen_args):
    """Starts `args` for `test`; its clean-up kills the process if it still runs and reads
    what is left of its output."""
    process = subprocess.Popen(args, **popen_args)

    def end():
        if process.poll() is None:
            process.kill()
        process.communicate()

    test.addCleanup(end)
    return process


def unsafe_folder_rows(folder, elsewhere):
    """Ways another user could have prepared `folder` before us, as (name, make, reason) rows:
    a link to `elsewhere`, a folder of another owner, a folder open to everyone."""

    def link():
        os.symlink(elsewhere, folder)

    def other_owner():
        os.mkdir(folder, 0o700)
        os.chown(folder, 65534, 65534)

    def writable_by_others():
        os.mkdir(folder)
        os.chmod(folder, 0o777)

    return [("symbolic link", link, "it is a symbolic link"),
            ("another user's", other_owner, "it belongs to another user"),
            ("writable by others", writable_by_others, "other users can write to it")]


def full_file_system(test, folder, size="1m"):
    """Makes `folder` a small file system of the test's own and fills it, so that the next
    write there finds no space. The process first gets mounts of its own, so nothing is seen
    outside it and nothing is left behind when it ends; the test is skipped, saying why, where
    that is not allowed."""
    if not getattr(full_file_system, "private", False):
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.unshare(0x20000) != 0:  # CLONE_NEWNS
            test.skipTest(f"no mount namespace of our own: {os.strerror(ctypes.get_errno())}")
        subprocess.run(["mount", "--make-rprivate", "/"], check=True, capture_output=True)
        full_file_system.private = True
    os.makedirs(folder, exist_ok=True)
    made = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", folder],
                          capture_output=True, text=True)
    if made.returncode != 0:
        test.skipTest(f"no tmpfs: {made.stderr.strip()}")
    test.addCleanup(subprocess.run, ["umount", "-l", folder], capture_output=True)
    return lambda: _fill(folder)


def _fill(folder):
    with open(os.path.join(folder, ".filler"), "wb", buffering=0) as f:
        try:
            while True:
                f.write(bytes(65536))
        except OSError as error:
            if error.errno != errno.ENOSPC:
                raise


class FakeInstance:
    """A process registered as a running menu-bar instance, as the real one registers itself:
    it holds a lock on the file named by its process id. SIGTERM ends it."""

    CODE = (
        "import fcntl, os, signal, sys, time\n"
        "folder, marker = sys.argv[1], sys.argv[2]\n"
        "os.makedirs(folder, mode=0o700, exist_ok=True)\n"
        "fd = os.open(os.path.join(folder, str(os.getpid())), os.O_RDWR | os.O_CREAT, 0o600)\n"
        "fcntl.flock(fd, fcntl.LOCK_EX)\n"
        "def term(*_):\n"
        "    open(marker, 'w').write('terminated')\n"
        "    os._exit(0)\n"
        "signal.signal(signal.SIGTERM, term)\n"
        "print('ready', flush=True)\n"
        "while True: time.sleep(1)\n"
    )

    def __init__(self, env, marker):
        folder = registry_folder(env)
        self.marker = marker
        self.proc = subprocess.Popen([sys.executable, "-c", self.CODE, folder, marker],
                                     stdout=subprocess.PIPE, text=True)
        self.proc.stdout.readline()

    def terminated(self):
        return wait_for(lambda: os.path.exists(self.marker))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()


class BundleTestCase(unittest.TestCase):
    """A temporary HOME and runtime folder, the scripted launchctl, and helpers to run the
    controller from the built bundle (or the bundle at `app`). Everything started is stopped
    in cleanup."""

    app = APP

    def program(self, name):
        return os.path.join(self.app, "Contents", "MacOS", name)

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="tessaway-e2e-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.home = os.path.join(self.root, "home")
        self.state = os.path.join(self.root, "launchctl")
        runtime = os.path.join(self.root, "run")
        for d in (self.home, self.state, runtime):
            os.makedirs(d, mode=0o700)
        self.opened = os.path.join(self.root, "opened")
        self.prefix = []  # what every program of the bundle is started through
        self.env = {
            "HOME": self.home,
            "XDG_RUNTIME_DIR": runtime,
            "XDG_STATE_HOME": os.path.join(self.home, ".local", "state"),
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "PATH": FAKE_BROWSER_DIR + ":/usr/bin:/bin",
            "FAKE_BROWSER_RECORD": self.opened,
            "TESSAWAY_LAUNCHCTL": FAKE_LAUNCHCTL,
            "FAKE_LAUNCHCTL_STATE": self.state,
            "LANG": "C.UTF-8",
        }
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if name in os.environ:
                self.env[name] = os.environ[name]

    # the bundle's own launchctl over the backend of the suite

    def use_service_manager(self):
        """The bundle's launchctl, found beside the controller as it would be in use, instead
        of the scripted one, over the suite's backend; under systemd with a user manager of the
        test's own, started with the environment set so far. Clean-up unloads whatever it runs,
        stops the manager and fails the test when any process of the test is left."""
        del self.env["TESSAWAY_LAUNCHCTL"]
        del self.env["FAKE_LAUNCHCTL_STATE"]
        self.env["TESSAWAY_SERVICE_MANAGER"] = BACKEND
        self.manager = None
        if BACKEND == "systemd":
            self.manager = UserManager.start_for(self, self.env)
        self.addCleanup(self.end_services)

    def end_services(self):
        outside, behind = set(), []
        if self.manager:
            outside = set(processes.mentioning(self.root)) - self.manager.processes()
        launchctl = self.program("launchctl")
        if os.path.exists(launchctl):  # an installed bundle may be gone already
            subprocess.run([*self.prefix, launchctl, "bootout", f"gui/{os.getuid()}"],
                           env=self.env, capture_output=True, timeout=30)
        if self.manager:
            self.manager.stop()
            behind = self.manager.leftovers()
        wait_for(lambda: not processes.mentioning(self.root), 15, 0.1)
        left = processes.mentioning(self.root)
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.assertEqual(left, [], "processes were left running")
        self.assertEqual(outside, set(), "processes of the test ran outside the user manager")
        self.assertEqual(behind, [], "the user manager left these behind")

    # the scripted launchctl

    def set_loaded(self, label=SERVER_LABEL, loaded=True):
        path = os.path.join(self.state, "loaded", label)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if loaded:
            open(path, "w").close()
        elif os.path.exists(path):
            os.remove(path)

    def is_loaded(self, label=SERVER_LABEL):
        return os.path.exists(os.path.join(self.state, "loaded", label))

    def set_override(self, label, value):
        os.makedirs(os.path.join(self.state, "overrides"), exist_ok=True)
        with open(os.path.join(self.state, "overrides", label), "w") as f:
            f.write(value)

    def script(self, name, content=""):
        with open(os.path.join(self.state, name), "w") as f:
            f.write(content)

    def calls(self):
        path = os.path.join(self.state, "calls")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [line.rstrip("\n").split("\t") for line in f]

    def verbs(self):
        return [c[0] for c in self.calls()]

    # the installed definition and the local server

    def install_definition(self, port_element):
        folder = os.path.join(self.home, "Library", "LaunchAgents")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, SERVER_LABEL + ".plist"), "w") as f:
            f.write(server_definition(port_element))

    def start_server(self):
        server = TestServer()
        self.addCleanup(server.stop)
        self.install_definition(f"<string>{server.port}</string>")
        return server

    def ours(self, program):
        """This test's processes that run `program` (an argument names it or a path to it)."""
        return [pid for pid in processes.mentioning(self.root)
                if any(a == program or a.endswith("/" + program)
                       for a in processes.arguments(pid))]

    def fake_instance(self):
        instance = FakeInstance(self.env, os.path.join(self.root, f"instance-{time.monotonic_ns()}"))
        self.addCleanup(instance.stop)
        return instance

    # running the controller

    def tray(self, *args, timeout=60):
        return subprocess.run([*self.prefix, self.program("tessaway-tray"), *args], env=self.env,
                              capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL)

    def opened_addresses(self, count=0, seconds=30):
        """The addresses the fake browser recorded, once there are `count` of them (or
        `seconds` have passed). Browsers start detached: their records may come after the
        controller has ended, and in any order."""
        deadline = time.monotonic() + seconds
        while True:
            lines = []
            if os.path.exists(self.opened):
                with open(self.opened) as f:
                    # A record is whole once its line ends.
                    lines = [line for line in f.read().split("\n")[:-1] if line]
            if len(lines) >= count or time.monotonic() >= deadline:
                return lines
            time.sleep(0.02)
