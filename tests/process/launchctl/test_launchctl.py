"""Process-level tests of the bundle's launchctl, over the backend that
TESSAWAY_SERVICE_MANAGER names: "standin" (its own supervisors, the default) or "systemd" (a
private user manager started for each test).

Each test runs the built tool with its own temporary HOME, XDG_RUNTIME_DIR and XDG_STATE_HOME.
Every process a test causes to exist carries the test's token in its environment, and the
clean-up of each test boots out the domain and then kills whatever still carries the token.

Usage: TESSAWAY_APP=/path/to/Tessaway.app [TESSAWAY_SERVICE_MANAGER=systemd] \
       python3 -m unittest test_launchctl[.TestCase]
"""

import os
import plistlib
import pwd
import select
import shlex
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "doubles"))
import processes  # noqa: E402
from desktop_entry import entry_command, read_group, split_exec  # noqa: E402
from harness import (BACKEND, LAUNCHCTL, binary_plist_with_string,  # noqa: E402
                     deep_binary_plist, deep_xml_plist, private_tmp, unsafe_folder_rows,
                     wait_for)
from user_manager import UserManager  # noqa: E402

UID = os.getuid()
DOMAIN = f"gui/{UID}"
TOKEN_NAME = "LAUNCHCTL_TEST_TOKEN"
SERVICE_PATH = "/usr/bin:/bin:/usr/sbin:/sbin"
HOST_BOOTED_BY_SYSTEMD = os.path.exists("/run/systemd/system")
IO_ERROR = "Bootstrap failed: 5: Input/output error\n"
XDG_GENERATOR = "/usr/lib/systemd/user-generators/systemd-xdg-autostart-generator"
INVALID_LABEL = ("Bad request.\nInvalid label: 1 to 200 characters without control characters, "
                 "double quotes or slashes\n")


def fails_under_systemd(fault):
    """Marks a case that the systemd backend fails, for the `fault` named: there it must fail
    (a pass fails the suite, so the mark goes when the backend is mended)."""
    return unittest.expectedFailure if BACKEND == "systemd" else (lambda case: case)


def target(label):
    return f"{DOMAIN}/{label}"


def not_found(label, uid=UID):
    return f'Bad request.\nCould not find service "{label}" in domain for user gui: {uid}\n'


def read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return None


class LaunchctlCase(unittest.TestCase):
    def setUp(self):
        if not os.access(LAUNCHCTL, os.X_OK):
            self.fail("TESSAWAY_APP must name the built bundle")
        self.root = tempfile.mkdtemp(prefix="launchctl-test-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.home = os.path.join(self.root, "home")
        self.runtime = os.path.join(self.root, "run")
        self.state = os.path.join(self.root, "state")
        os.makedirs(self.home)
        os.makedirs(self.runtime, mode=0o700)
        self.token = uuid.uuid4().hex
        self.prefix = []  # what the tool is started through
        self.env = {
            "PATH": os.environ.get("PATH", SERVICE_PATH),
            "HOME": self.home,
            "XDG_RUNTIME_DIR": self.runtime,
            "XDG_STATE_HOME": self.state,
            TOKEN_NAME: self.token,
            "TESSAWAY_SERVICE_MANAGER": BACKEND,
        }
        self.manager = None
        if BACKEND == "systemd":
            # The manager hands its environment on to what it runs, as a user's manager would;
            # only what the tool runs carries the token.
            own = {k: v for k, v in self.env.items()
                   if k not in (TOKEN_NAME, "TESSAWAY_SERVICE_MANAGER")}
            self.manager = UserManager.start_for(self, own)
        self.addCleanup(self.end_processes)

    # Running the tool

    def lc(self, *args, env=None, timeout=10):
        return subprocess.run([*self.prefix, LAUNCHCTL, *args], capture_output=True, text=True,
                              env=env or self.env, timeout=timeout)

    def assertResult(self, result, status, stdout="", stderr=""):
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (status, stdout, stderr), result.args)

    def bootstrap(self, path):
        result = self.lc("bootstrap", DOMAIN, path)
        self.assertResult(result, 0)

    def print_fields(self, label):
        """The `key = value` lines of a loaded service's print block, or None when not loaded."""
        result = self.lc("print", target(label))
        if result.returncode != 0:
            return None
        fields = {}
        for line in result.stdout.splitlines():
            if line.startswith("\t") and not line.startswith("\t\t") and " = " in line:
                key, value = line[1:].split(" = ", 1)
                fields[key] = value
        return fields

    def loaded(self, label):
        return self.lc("print", target(label)).returncode == 0

    def new_session(self):
        """A logout and a login: the runtime folder starts empty, under systemd with a new user
        manager on the same home."""
        if self.manager:
            self.manager.stop()
        shutil.rmtree(self.runtime)
        os.makedirs(self.runtime, mode=0o700)
        if self.manager:
            self.assertIsNone(self.manager.start())

    # Service definitions

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def definition(self, label, script=None, arguments=None, fmt=plistlib.FMT_XML,
                   environment=None, name=None, **keys):
        """Writes a definition whose program carries the test's token and runs in the test's
        folder unless told otherwise; returns its path."""
        keys.setdefault("WorkingDirectory", self.root)
        content = {"Label": label}
        if script is not None:
            content["ProgramArguments"] = ["/bin/sh", "-c", script]
        if arguments is not None:
            content["ProgramArguments"] = arguments
        content["EnvironmentVariables"] = {TOKEN_NAME: self.token, **(environment or {})}
        content.update(keys)
        path = self.path(name or f"{label}.plist")
        with open(path, "wb") as f:
            plistlib.dump(content, f, fmt=fmt)
        return path

    def marker_lines(self, name="marker"):
        return (read_text(self.path(name)) or "").splitlines()

    # Clean-up

    def ours(self):
        """The live processes that carry the test's token."""
        return processes.with_environment_entry(f"{TOKEN_NAME}={self.token}".encode())

    def end_processes(self):
        outside = set()
        if self.manager:
            outside = set(self.ours()) - self.manager.processes()
        try:
            self.lc("bootout", DOMAIN)
        except (OSError, subprocess.SubprocessError):
            pass
        if not wait_for(lambda: not self.ours()):
            for pid in self.ours():
                for kill in (lambda: os.killpg(os.getpgid(pid), signal.SIGKILL),
                             lambda: os.kill(pid, signal.SIGKILL)):
                    try:
                        kill()
                    except OSError:
                        pass
            wait_for(lambda: not self.ours())
        self.assertEqual(outside, set(), "processes of the test ran outside the user manager")


class CommandLineTest(LaunchctlCase):
    def test_malformed_commands_print_a_usage_line_and_end_with_64(self):
        other = f"gui/{UID + 1}"
        rows = [
            ("no subcommand", []),
            ("unknown subcommand", ["list"]),
            ("print without target", ["print"]),
            ("print with two targets", ["print", DOMAIN, DOMAIN]),
            ("print of another domain type", ["print", f"user/{UID}/x"]),
            ("print of the system domain", ["print", "system/x"]),
            ("print with a non-numeric uid", ["print", "gui/me/x"]),
            ("print with an empty label", ["print", f"{DOMAIN}/"]),
            ("print-disabled of a service", ["print-disabled", target("x")]),
            ("print-disabled without target", ["print-disabled"]),
            ("enable of a domain", ["enable", DOMAIN]),
            ("disable of a domain", ["disable", DOMAIN]),
            ("enable of another uid's domain", ["enable", other]),
            ("bootstrap without path", ["bootstrap", DOMAIN]),
            ("bootstrap into a service target", ["bootstrap", target("x"), "/dev/null"]),
            ("bootout without target", ["bootout"]),
            ("bootout with garbage", ["bootout", "gui"]),
        ]
        for name, args in rows:
            with self.subTest(name):
                result = self.lc(*args)
                self.assertEqual(result.returncode, 64)
                self.assertEqual(result.stdout, "")
                lines = result.stderr.splitlines()
                self.assertEqual(len(lines), 1, result.stderr)
                self.assertTrue(lines[0].startswith("Usage: launchctl"), result.stderr)

    def test_another_users_domain_is_not_found(self):
        other = UID + 1
        rows = [
            ["print", f"gui/{other}/x"],
            ["print", f"gui/{other}"],
            ["print-disabled", f"gui/{other}"],
            ["enable", f"gui/{other}/x"],
            ["disable", f"gui/{other}/x"],
            ["bootstrap", f"gui/{other}", "/dev/null"],
            ["bootout", f"gui/{other}/x"],
            ["bootout", f"gui/{other}"],
        ]
        for args in rows:
            with self.subTest(args=args):
                self.assertResult(self.lc(*args), 112,
                                  stderr=f"Could not find domain for user gui: {other}\n")
        self.assertFalse(os.path.exists(os.path.join(self.state, "tessaway-launchd")),
                         "nothing may be recorded for another user")


class PrintTest(LaunchctlCase):
    def test_service_that_is_not_loaded(self):
        self.assertResult(self.lc("print", target("com.example.none")), 113,
                          stderr=not_found("com.example.none"))

    def test_loaded_running_service_block(self):
        out = self.path("logs", "out.log")
        err = self.path("logs", "err.log")
        path = self.definition("com.example.print", script="echo $$ >> marker; exec sleep 60",
                               name="print.plist", RunAtLoad=True, StandardOutPath=out,
                               StandardErrorPath=err, ExitTimeOut=2, ThrottleInterval=3)
        self.bootstrap(path)
        pid = wait_for(lambda: self.marker_lines())
        self.assertTrue(pid, "the program did not start")

        result = self.lc("print", target("com.example.print"))
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], f"{DOMAIN}/com.example.print = {{")
        self.assertEqual(lines[-1], "}")
        body = "\n".join(lines) + "\n"
        for line in [
            "\tactive count = 1",
            f"\tpath = {path}",
            "\ttype = LaunchAgent",
            "\tstate = running",
            "\tprogram = /bin/sh",
            "\targuments = {\n\t\t/bin/sh\n\t\t-c\n\t\techo $$ >> marker; exec sleep 60\n\t}",
            f"\tworking directory = {self.root}",
            f"\tstdout path = {out}",
            f"\tstderr path = {err}",
            f"\t\tXPC_SERVICE_NAME => com.example.print",
            f"\t\tPATH => {SERVICE_PATH}",
            "\truns = 1",
            f"\tpid = {pid[0]}",
            "\tlast exit code = (never exited)",
            "\texit timeout = 2",
            "\tminimum runtime = 3",
        ]:
            self.assertIn(line + "\n", body)
        self.assertIn("\tenvironment = {\n", body)

    def test_loaded_service_that_was_not_started(self):
        path = self.definition("com.example.idle", script="echo ran >> marker")
        self.bootstrap(path)
        fields = self.print_fields("com.example.idle")
        self.assertEqual(fields["state"], "not running")
        self.assertEqual(fields["active count"], "0")
        self.assertEqual(fields["runs"], "0")
        self.assertNotIn("pid", fields)
        self.assertEqual(fields["last exit code"], "(never exited)")
        time.sleep(0.2)
        self.assertEqual(self.marker_lines(), [], "loaded without RunAtLoad must not run")

    def test_exit_status_and_terminating_signal_are_reported(self):
        rows = [("exit", "exit 3", "last exit code", "3"),
                ("signal", "kill -USR1 $$", "last terminating signal", "User defined signal 1: 10")]
        for name, script, key, value in rows:
            with self.subTest(name):
                label = f"com.example.end-{name}"
                self.bootstrap(self.definition(label, script=script, RunAtLoad=True))
                fields = wait_for(lambda: (f := self.print_fields(label))
                                  and f.get(key, "(never exited)") != "(never exited)" and f)
                self.assertTrue(fields, f"no {key} reported")
                self.assertEqual(fields[key], value)
                self.assertEqual(fields["state"], "not running")
                self.assertEqual(self.lc("print", target(label)).returncode, 0,
                                 "a service that ended stays loaded")

    def test_domain_lists_loaded_services(self):
        self.bootstrap(self.definition("com.example.listed", script="exec sleep 60",
                                       RunAtLoad=True))
        result = self.lc("print", DOMAIN)
        self.assertEqual(result.returncode, 0)
        self.assertTrue(result.stdout.startswith(f"{DOMAIN} = {{\n"))
        self.assertIn("com.example.listed", result.stdout)


class OverrideTest(LaunchctlCase):
    def overrides_file(self, base=None):
        return os.path.join(base or self.state, "tessaway-launchd", "disabled.plist")

    def test_print_disabled_without_overrides(self):
        self.assertResult(self.lc("print-disabled", DOMAIN), 0,
                          stdout="disabled services = {\n}\n")

    def test_overrides_are_recorded_and_survive(self):
        for args in [("disable", target("com.b")), ("enable", target("com.a")),
                     ("disable", target("com.c")), ("enable", target("com.c"))]:
            self.assertResult(self.lc(*args), 0)
        expected = ('disabled services = {\n\t"com.a" => enabled\n\t"com.b" => disabled\n'
                    '\t"com.c" => enabled\n}\n')
        self.assertResult(self.lc("print-disabled", DOMAIN), 0, stdout=expected)
        with open(self.overrides_file(), "rb") as f:
            self.assertEqual(plistlib.load(f), {"com.a": False, "com.b": True, "com.c": False})
        # Sessions end, overrides do not.
        self.new_session()
        self.assertResult(self.lc("print-disabled", DOMAIN), 0, stdout=expected)

    def test_default_location_is_under_the_home_folder(self):
        env = dict(self.env)
        del env["XDG_STATE_HOME"]
        self.assertResult(self.lc("disable", target("com.x"), env=env), 0)
        with open(self.overrides_file(os.path.join(self.home, ".local", "state")), "rb") as f:
            self.assertEqual(plistlib.load(f), {"com.x": True})
        self.assertFalse(os.path.exists(self.overrides_file()))

    def test_concurrent_writers_lose_no_override(self):
        labels = [f"com.example.w{i}" for i in range(12)]
        procs = [subprocess.Popen([LAUNCHCTL, "disable", target(label)], env=self.env)
                 for label in labels]
        for proc in procs:
            self.assertEqual(proc.wait(timeout=10), 0)
        with open(self.overrides_file(), "rb") as f:
            self.assertEqual(plistlib.load(f), {label: True for label in labels})

    def test_damaged_overrides_file_is_set_aside_before_anything_new_is_written(self):
        rows = [
            ("garbage", b"\x00\xffnot a property list"),
            ("truncated", plistlib.dumps({"com.quorvel.tessaway-server": True,
                                          "com.x": False})[:-30]),
            ("too large", plistlib.dumps({"com.quorvel.tessaway-server": True,
                                          "pad": "x" * (5 << 20)})),
            ("array", plistlib.dumps([True])),
        ]
        path = self.overrides_file()
        os.makedirs(os.path.dirname(path))
        for name, content in rows:
            with self.subTest(name):
                for old in os.listdir(os.path.dirname(path)):
                    os.remove(os.path.join(os.path.dirname(path), old))
                with open(path, "wb") as f:
                    f.write(content)
                self.assertResult(self.lc("print-disabled", DOMAIN), 0,
                                  stdout="disabled services = {\n}\n")
                result = self.lc("disable", target("com.y"))
                aside = path + ".damaged"
                self.assertEqual((result.returncode, result.stdout, result.stderr.splitlines()),
                                 (0, "", [f"launchctl: the overrides file {path} was damaged "
                                          f"and has been set aside as {aside}"]))
                with open(aside, "rb") as f:
                    self.assertEqual(f.read(), content)
                self.assertResult(self.lc("print-disabled", DOMAIN), 0,
                                  stdout='disabled services = {\n\t"com.y" => disabled\n}\n')
                # A second damaged file never replaces the first one set aside.
                with open(path, "wb") as f:
                    f.write(b"again")
                self.assertEqual(self.lc("enable", target("com.y")).returncode, 0)
                with open(aside + "-1", "rb") as f:
                    self.assertEqual(f.read(), b"again")

    def test_a_fifo_in_place_of_the_overrides_never_blocks(self):
        path = self.overrides_file()
        os.makedirs(os.path.dirname(path))
        os.mkfifo(path)
        # Each command must end at all (lc gives up after 10 s) and treat it as damage.
        self.assertResult(self.lc("print-disabled", DOMAIN), 0, stdout="disabled services = {\n}\n")
        result = self.lc("enable", target("com.x"))
        self.assertEqual((result.returncode, result.stderr.count("set aside")), (0, 1))
        self.assertResult(self.lc("print-disabled", DOMAIN), 0,
                          stdout='disabled services = {\n\t"com.x" => enabled\n}\n')

    def test_labels_that_could_forge_output_are_refused(self):
        forged = 'x" => enabled\n\t"com.quorvel.tessaway-server'
        labels = [("line feed", forged), ("double quote", 'a" => disabled "b'),
                  ("tab", "a\tb"), ("escape", "a\x1b[2Jb"), ("C1 control", "a\x85b"),
                  ("slash", "a/b"), ("too long", "x" * 201)]
        self.assertResult(self.lc("disable", target("com.quorvel.tessaway-server")), 0)
        before = self.lc("print-disabled", DOMAIN).stdout
        for name, label in labels:
            for verb in ("enable", "disable", "print", "bootout"):
                with self.subTest(name, verb=verb):
                    self.assertResult(self.lc(verb, target(label)), 22, stderr=INVALID_LABEL)
        self.assertResult(self.lc("print-disabled", DOMAIN), 0, stdout=before)
        # A label of 200 bytes is still fine, so the file stays readable however many there are.
        self.assertResult(self.lc("disable", target("y" * 200)), 0)

    def test_enable_and_disable_never_start_or_stop(self):
        running = self.definition("com.example.running", script="exec sleep 60", RunAtLoad=True)
        self.bootstrap(running)
        pid = self.print_fields("com.example.running")["pid"]
        self.assertResult(self.lc("disable", target("com.example.running")), 0)
        self.assertResult(self.lc("enable", target("com.example.unknown")), 0)
        time.sleep(0.2)
        fields = self.print_fields("com.example.running")
        self.assertEqual((fields["state"], fields["pid"]), ("running", pid))
        self.assertFalse(self.loaded("com.example.unknown"))

    def test_disabled_service_is_not_bootstrapped_until_enabled(self):
        path = self.definition("com.example.off", script="echo ran >> marker; exec sleep 60",
                               RunAtLoad=True)
        self.assertResult(self.lc("disable", target("com.example.off")), 0)
        self.assertResult(self.lc("bootstrap", DOMAIN, path), 5, stderr=IO_ERROR)
        self.assertFalse(self.loaded("com.example.off"))
        time.sleep(0.2)
        self.assertEqual(self.marker_lines(), [])
        self.assertResult(self.lc("enable", target("com.example.off")), 0)
        self.bootstrap(path)
        self.assertTrue(wait_for(lambda: self.marker_lines() == ["ran"]))


class BootstrapTest(LaunchctlCase):
    def write(self, name, data):
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_definitions_that_cannot_be_loaded(self):
        def dump(content):
            return plistlib.dumps(content)

        os.makedirs(self.path("folder.plist"))
        rows = [
            ("missing file", self.path("missing.plist"), "No such file or directory"),
            ("folder", self.path("folder.plist"), "Is a directory"),
            ("not a property list", self.write("text.plist", b"Label=x\n"),
             "Invalid property list"),
            ("truncated", self.write("cut.plist", dump({"Label": "x"})[:-20]),
             "Invalid property list"),
            ("array root", self.write("array.plist", dump(["Label", "x"])),
             "Invalid property list"),
            ("no Label", self.write("nolabel.plist", dump({"Program": "/bin/true"})),
             "Missing required key: Label"),
            ("Label not a string", self.write("intlabel.plist",
                                              dump({"Label": 5, "Program": "/bin/true"})),
             "Missing required key: Label"),
            ("no program", self.write("noprog.plist", dump({"Label": "com.x"})),
             "Missing required key: Program or ProgramArguments"),
            ("empty arguments", self.write("emptyargs.plist",
                                           dump({"Label": "com.x", "ProgramArguments": []})),
             "Missing required key: Program or ProgramArguments"),
            ("argument not a string", self.write("badargs.plist", dump(
                {"Label": "com.x", "ProgramArguments": ["/bin/true", 1]})),
             "Invalid ProgramArguments"),
            # libplist cannot represent a 0 byte in a string, and recurses as deep as a list nests.
            ("0 byte in an XML Label", self.write("nul.plist", dump(
                {"Label": "com.x", "Program": "/bin/true"}).replace(b"com.x", b"com\0x")),
             "Invalid property list"),
            ("0 byte in a binary Label", self.write("nul-bin.plist",
                                                    binary_plist_with_string("Label", "com\0x")),
             "Invalid property list"),
            ("deep XML nesting", self.write("deep.plist", deep_xml_plist(60000)),
             "Invalid property list"),
            ("deep binary nesting", self.write("deep-bin.plist", deep_binary_plist(120000)),
             "Invalid property list"),
            # A label is quoted in reports: it must not be able to forge their lines.
            ("Label with a line feed", self.write("forged.plist", dump(
                {"Label": 'x"\n\t"com.quorvel.tessaway-server', "Program": "/bin/true"})),
             'Invalid Label: x"??"com.quorvel.tessaway-server'),
            ("Label with a double quote", self.write("quote.plist", dump(
                {"Label": 'a" => disabled "b', "Program": "/bin/true"})),
             'Invalid Label: a" => disabled "b'),
        ]

        # As the service manager of a Mac: a definition that someone else can write runs their
        # program as this user, also when only a link to it lies in the agents folder.
        def with_mode(name, mode, uid=None):
            path = self.write(name, dump({"Label": "com.x", "Program": "/bin/true"}))
            os.chmod(path, mode)
            if uid is not None:
                os.chown(path, uid, -1)
            return path

        def linked_into_agents(name, source):
            agents = os.path.join(self.home, "Library", "LaunchAgents")
            os.makedirs(agents, exist_ok=True)
            os.symlink(source, os.path.join(agents, name))
            return os.path.join(agents, name)

        rows += [
            ("writable by others", with_mode("others.plist", 0o666),
             "Dubious permissions on file (skipping)"),
            ("writable by the group", with_mode("group.plist", 0o620),
             "Dubious permissions on file (skipping)"),
        ]
        if os.geteuid() == 0:
            rows += [
                ("owned by another user", with_mode("foreign.plist", 0o644, 65534),
                 "Dubious ownership on file (skipping)"),
                ("another user's file linked into the agents folder",
                 linked_into_agents("com.x.plist", with_mode("linked.plist", 0o666, 65534)),
                 "Dubious ownership on file (skipping)"),
            ]
        # The supervisor records the definition for print; a record too large to read back
        # would show a running service as not running.
        rows.append(("too large to record", self.write("large.plist", dump(
            {"Label": "com.x", "ProgramArguments": ["/bin/true"] + ["a" * 1024] * 300})),
            "Definition too large: its arguments, paths and environment exceed 256 KiB"))
        for name, path, reason in rows:
            with self.subTest(name):
                self.assertResult(self.lc("bootstrap", DOMAIN, path), 5,
                                  stderr=f"{path}: {reason}\n{IO_ERROR}")
        units = os.path.join(self.home, ".local", "share", "systemd", "user")
        self.assertEqual(os.listdir(units) if os.path.isdir(units) else [], [],
                         "a refused definition left a unit behind")
        self.assertResult(self.lc("print", DOMAIN), 0,
                          stdout=f"{DOMAIN} = {{\n\ttype = gui\n\thandle = {UID}\n"
                                 "\tactive count = 0\n\n\tservices = {\n\t}\n}\n")

    def test_binary_and_xml_definitions_load(self):
        for fmt, name in [(plistlib.FMT_XML, "xml"), (plistlib.FMT_BINARY, "binary")]:
            with self.subTest(name):
                label = f"com.example.{name}"
                self.bootstrap(self.definition(label, script="exec sleep 60", fmt=fmt,
                                               RunAtLoad=True))
                self.assertEqual(self.print_fields(label)["state"], "running")

    def test_keep_alive_starts_at_load(self):
        rows = [("true", True), ("dictionary", {"SuccessfulExit": False})]
        for name, keep_alive in rows:
            with self.subTest(name):
                label = f"com.example.ka-{name}"
                self.bootstrap(self.definition(label, script="exec sleep 60",
                                               KeepAlive=keep_alive))
                self.assertEqual(self.print_fields(label)["state"], "running")
        self.bootstrap(self.definition("com.example.ka-false", script="exec sleep 60",
                                       KeepAlive=False))
        self.assertEqual(self.print_fields("com.example.ka-false")["state"], "not running")

    def test_relative_path_is_recorded_absolute(self):
        self.definition("com.example.rel", script="exec sleep 60", name="rel.plist")
        result = subprocess.run([LAUNCHCTL, "bootstrap", DOMAIN, "rel.plist"], cwd=self.root,
                                capture_output=True, text=True, env=self.env, timeout=10)
        self.assertResult(result, 0)
        self.assertEqual(self.print_fields("com.example.rel")["path"], self.path("rel.plist"))

    def test_already_loaded_service_is_not_loaded_again(self):
        path = self.definition("com.example.once", script="echo $$ >> marker; exec sleep 60",
                               RunAtLoad=True)
        self.bootstrap(path)
        self.assertResult(self.lc("bootstrap", DOMAIN, path), 5, stderr=IO_ERROR)
        time.sleep(0.2)
        self.assertEqual(len(self.marker_lines()), 1)
        self.assertEqual(self.print_fields("com.example.once")["runs"], "1")

    def test_concurrent_bootstraps_load_once(self):
        path = self.definition("com.example.race", script="echo $$ >> marker; exec sleep 60",
                               RunAtLoad=True)
        procs = [subprocess.Popen([LAUNCHCTL, "bootstrap", DOMAIN, path], env=self.env,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                 for _ in range(8)]
        results = [(p.returncode, out, err)
                   for p in procs for out, err in [p.communicate(timeout=10)]]
        self.assertEqual(sorted(r[0] for r in results), [0] + [5] * 7)
        for status, out, err in results:
            self.assertEqual((out, err), ("", "" if status == 0 else IO_ERROR))
        time.sleep(0.3)
        self.assertEqual(len(self.marker_lines()), 1)
        self.assertEqual(self.print_fields("com.example.race")["runs"], "1")


class ServiceProcessTest(LaunchctlCase):
    def test_program_environment_streams_and_folder(self):
        out = self.path("logs", "deep", "out.log")
        err = self.path("elsewhere", "err.log")
        os.makedirs(os.path.dirname(err))
        with open(err, "w") as f:
            f.write("earlier\n")
        work = self.path("work")
        os.makedirs(work)
        script = ('echo "$$ $(cat /proc/self/stat | cut -d" " -f6)" >> marker; '
                  'cat /proc/$$/environ > environ; echo to-out; echo to-err >&2; '
                  'readlink /proc/$$/fd/0 > stdin; pwd > cwd; exec sleep 60')
        caller_env = dict(self.env, DISPLAY=":42", LANG="C.UTF-8", QT_QPA_PLATFORM="offscreen",
                          DBUS_SESSION_BUS_ADDRESS="unix:path=/nowhere", TMPDIR=self.root,
                          UNRELATED_CALLER_VARIABLE="leak")
        path = self.definition("com.example.env", script=script, RunAtLoad=True,
                               WorkingDirectory=work, StandardOutPath=out,
                               StandardErrorPath=err,
                               environment={"EXTRA": "1", "LANG": "de_DE.UTF-8"})
        with open(path, "rb") as f:
            content = plistlib.load(f)
        content["EnvironmentVariables"]["NOT_A_STRING"] = 7
        with open(path, "wb") as f:
            plistlib.dump(content, f)
        self.assertResult(self.lc("bootstrap", DOMAIN, path, env=caller_env), 0)

        self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(work, "cwd"))))
        pid, session = read_text(os.path.join(work, "marker")).split()
        self.assertEqual(pid, session, "the program leads a session of its own")
        self.assertEqual(self.print_fields("com.example.env")["pid"], pid)
        with open(os.path.join(work, "environ"), "rb") as f:
            environ = dict(entry.decode().split("=", 1) for entry in f.read().split(b"\0")
                           if entry)
        account = pwd.getpwuid(UID)
        expected = {
            "PATH": SERVICE_PATH, "HOME": self.home, "USER": account.pw_name,
            "LOGNAME": account.pw_name, "SHELL": account.pw_shell or "/bin/sh",
            "TMPDIR": self.root, "XPC_SERVICE_NAME": "com.example.env",
            "DISPLAY": ":42", "LANG": "de_DE.UTF-8", "QT_QPA_PLATFORM": "offscreen",
            "DBUS_SESSION_BUS_ADDRESS": "unix:path=/nowhere",
            "XDG_RUNTIME_DIR": self.runtime, "XDG_STATE_HOME": self.state, "EXTRA": "1",
            TOKEN_NAME: self.token,
        }
        if self.manager:
            # A unit gets systemd's own bookkeeping and what its manager hands every unit,
            # beside what the caller's session gives it.
            for name in ("INVOCATION_ID", "MANAGERPID", "SYSTEMD_EXEC_PID",
                         *self.manager.added_environment()):
                if name not in expected:
                    environ.pop(name, None)
        self.assertEqual(environ, expected)
        self.assertEqual(read_text(os.path.join(work, "cwd")), work + "\n")
        self.assertEqual(read_text(os.path.join(work, "stdin")), "/dev/null\n")
        self.assertTrue(wait_for(lambda: read_text(out) == "to-out\n"), read_text(out))
        self.assertTrue(wait_for(lambda: read_text(err) == "earlier\nto-err\n"), read_text(err))

    def test_caller_reading_output_to_its_end_is_not_held(self):
        path = self.definition("com.example.pipe", script="exec sleep 60", RunAtLoad=True)
        # One pipe for both streams, read to its end, as the controller does.
        reader, writer = os.pipe()
        try:
            proc = subprocess.Popen([LAUNCHCTL, "bootstrap", DOMAIN, path], env=self.env,
                                    stdout=writer, stderr=writer, stdin=subprocess.DEVNULL)
            os.close(writer)
            writer = None
            data, ended = b"", False
            deadline = time.monotonic() + 5
            while not ended and time.monotonic() < deadline:
                ready, _, _ = select.select([reader], [], [], deadline - time.monotonic())
                if ready:
                    chunk = os.read(reader, 4096)
                    data += chunk
                    ended = not chunk
            self.assertEqual(proc.wait(timeout=5), 0)
        finally:
            os.close(reader)
            if writer is not None:
                os.close(writer)
        self.assertTrue(ended, "the output pipe stayed open after bootstrap ended")
        self.assertEqual(data, b"")
        fields = self.print_fields("com.example.pipe")
        self.assertEqual(fields["state"], "running")
        supervisors = [pid for pid in self.ours()
                       if "bootstrap" in processes.arguments(pid)]
        self.assertEqual(len(supervisors), 1 if BACKEND == "standin" else 0)
        for pid in supervisors + [int(fields["pid"])]:
            fds = os.listdir(f"/proc/{pid}/fd")
            targets = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in fds]
            self.assertFalse([t for t in targets if t.startswith("pipe:")], (pid, targets))

    def test_program_that_cannot_be_executed(self):
        rows = [("missing program", {"Program": self.path("missing")}),
                ("missing working folder", {"ProgramArguments": ["/bin/true"],
                                            "WorkingDirectory": self.path("nowhere")}),
                ("not executable", {"Program": self.path("plain.txt")})]
        with open(self.path("plain.txt"), "w") as f:
            f.write("#!/bin/sh\n")
        for name, keys in rows:
            with self.subTest(name):
                label = "com.example.broken-" + name.split()[1]
                self.bootstrap(self.definition(label, RunAtLoad=True, **keys))
                fields = self.print_fields(label)
                self.assertEqual(fields["last exit code"], "78")
                self.assertEqual((fields["state"], fields["runs"]), ("not running", "1"))

    def test_leftovers_of_an_ended_program_are_killed(self):
        script = "trap '' TERM; sleep 60 & echo $! >> marker"
        label = "com.example.leftover"
        self.bootstrap(self.definition(label, script=script, RunAtLoad=True))
        self.assertTrue(wait_for(lambda: self.marker_lines()))
        child = int(self.marker_lines()[0])
        self.assertTrue(wait_for(lambda: not processes.alive(child)))
        self.assertEqual(self.print_fields(label)["last exit code"], "0")

    def test_program_is_searched_on_the_service_path(self):
        label = "com.example.search"
        self.bootstrap(self.definition(label, arguments=["sleep", "60"], RunAtLoad=True))
        fields = self.print_fields(label)
        self.assertEqual((fields["state"], fields["program"]), ("running", "sleep"))
        self.assertEqual(os.readlink(f"/proc/{fields['pid']}/exe"), "/usr/bin/sleep")


class BootoutTest(LaunchctlCase):
    def test_service_that_is_not_loaded(self):
        self.assertResult(self.lc("bootout", target("com.example.none")), 3,
                          stderr="Boot-out failed: 3: No such process\n")

    def test_stubborn_program_is_killed_after_its_exit_timeout(self):
        # The shell and its background child both ignore SIGTERM.
        script = "trap '' TERM; sleep 60 & echo $! >> marker; wait"
        label = "com.example.stubborn"
        self.bootstrap(self.definition(label, script=script, RunAtLoad=True, ExitTimeOut=2))
        self.assertTrue(wait_for(lambda: self.marker_lines()))
        leader = int(self.print_fields(label)["pid"])
        child = int(self.marker_lines()[0])

        began = time.monotonic()
        self.assertResult(self.lc("bootout", target(label)), 0)
        if BACKEND == "standin":
            # Its supervisor ends it in the background; the user manager's bootout waits.
            self.assertLess(time.monotonic() - began, 1.5, "bootout must not wait for the end")
            fields = self.print_fields(label)
            self.assertEqual((fields["state"], fields["pid"]), ("SIGTERMed", str(leader)))
            time.sleep(max(0.0, began + 1.0 - time.monotonic()))
            self.assertEqual(self.print_fields(label)["state"], "SIGTERMed")
            self.assertTrue(processes.alive(leader) and processes.alive(child))

        self.assertTrue(wait_for(lambda: not self.loaded(label)))
        self.assertGreater(time.monotonic() - began, 1.9)
        self.assertResult(self.lc("print", target(label)), 113, stderr=not_found(label))
        self.assertTrue(wait_for(lambda: not self.ours()),
                        "a process of the service outlived its bootout")

    def test_whole_process_group_gets_sigterm(self):
        # The leader takes its time to end, so the background child can show what it got.
        script = ("trap 'sleep 1; exit 0' TERM; "
                  "(trap 'echo child-got-term >> marker; exit 0' TERM; echo ready >> marker; "
                  "while :; do sleep 0.1; done) & wait")
        label = "com.example.group"
        self.bootstrap(self.definition(label, script=script, RunAtLoad=True))
        self.assertTrue(wait_for(lambda: self.marker_lines() == ["ready"]))
        self.assertResult(self.lc("bootout", target(label)), 0)
        self.assertTrue(wait_for(lambda: not self.loaded(label)))
        self.assertEqual(self.marker_lines(), ["ready", "child-got-term"])

    def test_service_waiting_for_its_restart_is_forgotten_at_once(self):
        label = "com.example.between"
        self.bootstrap(self.definition(label, script="echo x >> marker; exit 1", KeepAlive=True,
                                       ThrottleInterval=30))
        self.assertTrue(wait_for(lambda: (self.print_fields(label) or {}).get("last exit code")
                                 == "1"))
        self.assertResult(self.lc("bootout", target(label)), 0)
        self.assertTrue(wait_for(lambda: not self.loaded(label)))
        self.assertEqual(self.marker_lines(), ["x"])

    def test_domain_bootout_stops_everything(self):
        labels = ["com.example.one", "com.example.two", "com.example.idle"]
        pids = []
        for label in labels:
            self.bootstrap(self.definition(label, script="exec sleep 60",
                                           RunAtLoad=label != "com.example.idle"))
            pids.append(self.print_fields(label).get("pid"))
        self.assertResult(self.lc("bootout", DOMAIN), 0)
        for label in labels:
            self.assertTrue(wait_for(lambda: not self.loaded(label)), label)
        for pid in filter(None, pids):
            self.assertFalse(processes.alive(int(pid)))
        # And with nothing loaded it still succeeds.
        self.assertResult(self.lc("bootout", DOMAIN), 0)

    def test_bootstrap_right_after_bootout_replaces_the_ending_service(self):
        # The old instance takes a second to end; the new definition must still be loaded.
        label = "com.example.replaced"
        old = self.definition(label, script="trap 'sleep 1; exit 0' TERM; echo old >> marker; "
                                            "while :; do sleep 0.1; done", RunAtLoad=True)
        self.bootstrap(old)
        self.assertTrue(wait_for(lambda: self.marker_lines() == ["old"]))
        new = self.definition(label, script="echo new >> marker; exec sleep 60", RunAtLoad=True,
                              name="replacement.plist")
        self.assertResult(self.lc("bootout", target(label)), 0)
        if BACKEND == "standin":  # the user manager's bootout waits for the end
            self.assertEqual(self.print_fields(label)["state"], "SIGTERMed")
        self.assertResult(self.lc("bootstrap", DOMAIN, new), 0)
        self.assertTrue(wait_for(lambda: self.marker_lines() == ["old", "new"]))
        self.assertEqual(self.print_fields(label)["state"], "running")

    def test_bootstrap_of_a_running_service_is_still_refused(self):
        label = "com.example.running"
        path = self.definition(label, script="exec sleep 60", RunAtLoad=True)
        self.bootstrap(path)
        began = time.monotonic()
        self.assertResult(self.lc("bootstrap", DOMAIN, path), 5,
                          stderr="Bootstrap failed: 5: Input/output error\n")
        self.assertLess(time.monotonic() - began, 2)

    def test_service_can_be_loaded_again_after_bootout(self):
        label = "com.example.again"
        path = self.definition(label, script="echo $$ >> marker; exec sleep 60", RunAtLoad=True)
        self.bootstrap(path)
        # On a busy machine the bootout could otherwise end the shell before it wrote a line.
        self.assertTrue(wait_for(lambda: len(self.marker_lines()) == 1))
        self.assertResult(self.lc("bootout", target(label)), 0)
        self.assertTrue(wait_for(lambda: not self.loaded(label)))
        self.bootstrap(path)
        self.assertTrue(wait_for(lambda: len(self.marker_lines()) == 2))
        self.assertEqual(self.print_fields(label)["runs"], "1")


class KeepAliveTest(LaunchctlCase):
    def starts(self, marker):
        return [float(line) for line in self.marker_lines(marker)]

    def test_keep_alive_restarts_no_sooner_than_the_throttle_interval(self):
        # An interval of 0 would let a program that ends at once spin; a second is the least.
        rows = [(2, 1.9), (0, 0.9)]
        for interval, _ in rows:
            self.bootstrap(self.definition(f"com.example.again{interval}",
                                           script=f"date +%s.%N >> marker{interval}",
                                           KeepAlive=True, ThrottleInterval=interval))
        for interval, least in rows:
            with self.subTest(interval=interval):
                marker = f"marker{interval}"
                self.assertTrue(wait_for(lambda: len(self.starts(marker)) >= 2))
                starts = self.starts(marker)
                self.assertGreater(starts[1] - starts[0], least)
                self.assertLess(starts[1] - starts[0], least + 1.5)
                fields = self.print_fields(f"com.example.again{interval}")
                self.assertGreaterEqual(int(fields["runs"]), 2)
                self.assertEqual(fields["last exit code"], "0")

    def test_conditional_keep_alive_restarts_only_after_the_end_it_names(self):
        # Each program ends as its condition asks on its first run ($n is 1) and otherwise on
        # its second, and is then left alone.
        rows = [
            ("until-success", {"SuccessfulExit": False}, '[ "$n" -ge 2 ]', "0"),
            ("crash", {"Crashed": True},
             'if [ "$n" -lt 2 ]; then kill -SEGV $$; else exit 1; fi', "1"),
        ]
        for name, keep_alive, ending, last_exit in rows:
            with self.subTest(name):
                label = f"com.example.{name}"
                marker = f"marker-{name}"
                script = f"echo run >> {marker}; n=$(wc -l < {marker}); {ending}"
                self.bootstrap(self.definition(label, script=script, KeepAlive=keep_alive,
                                               ThrottleInterval=1))
                self.assertTrue(wait_for(lambda: len(self.marker_lines(marker)) == 2))
                time.sleep(1.5)
                self.assertEqual(len(self.marker_lines(marker)), 2)
                fields = self.print_fields(label)
                self.assertEqual((fields["state"], fields["runs"], fields["last exit code"]),
                                 ("not running", "2", last_exit))

    def test_program_that_cannot_start_is_retried_throttled(self):
        label = "com.example.missing"
        self.bootstrap(self.definition(label, arguments=[self.path("missing")], KeepAlive=True,
                                       ThrottleInterval=1))
        self.assertEqual(self.print_fields(label)["last exit code"], "78")
        self.assertTrue(wait_for(lambda: self.print_fields(label)["runs"] == "2"))
        self.assertEqual(self.print_fields(label)["runs"], "2")


class SupervisorTest(LaunchctlCase):
    def supervisor_of(self, path):
        return [pid for pid in self.ours()
                if processes.arguments(pid)[1:4] == ["bootstrap", DOMAIN, path]]

    def test_killed_supervisor_reads_as_not_loaded_and_can_be_replaced(self):
        label = "com.example.orphan"
        path = self.definition(label, script="echo $$ >> marker; exec sleep 60", RunAtLoad=True)
        self.bootstrap(path)
        service = int(self.print_fields(label)["pid"])
        supervisors = self.supervisor_of(path)
        self.assertEqual(len(supervisors), 1)
        os.kill(supervisors[0], signal.SIGKILL)
        self.assertTrue(wait_for(lambda: not processes.alive(supervisors[0])))

        self.assertResult(self.lc("print", target(label)), 113, stderr=not_found(label))
        self.assertResult(self.lc("bootout", target(label)), 3,
                          stderr="Boot-out failed: 3: No such process\n")
        self.assertTrue(wait_for(lambda: not processes.alive(service)),
                        "the service of a killed supervisor is left running")
        self.bootstrap(path)
        fields = self.print_fields(label)
        self.assertEqual((fields["state"], fields["runs"]), ("running", "1"))
        self.assertNotEqual(int(fields["pid"]), service)

    def test_new_supervisor_ends_what_a_killed_one_left_running(self):
        label = "com.example.stubborn"
        # SIGTERM stays ignored across exec, so the service outlives its killed supervisor.
        path = self.definition(label, script="trap '' TERM; exec sleep 60", RunAtLoad=True,
                               ExitTimeOut=1)
        self.bootstrap(path)
        first = int(self.print_fields(label)["pid"])
        os.kill(self.supervisor_of(path)[0], signal.SIGKILL)
        self.assertTrue(wait_for(lambda: not self.loaded(label)))
        time.sleep(0.2)
        self.assertTrue(processes.alive(first), "the service should have outlived its supervisor")

        self.bootstrap(path)
        self.assertFalse(processes.alive(first), "a second copy runs beside the first")
        second = int(self.print_fields(label)["pid"])
        self.assertNotEqual(second, first)
        sleeping = [p for p in self.ours() if processes.arguments(p)[:1] == ["sleep"]]
        self.assertEqual(sleeping, [second])
        self.assertResult(self.lc("bootout", target(label)), 0)
        self.assertTrue(wait_for(lambda: not processes.alive(second)))

    def test_sigterm_to_the_supervisor_stops_the_service(self):
        label = "com.example.term"
        path = self.definition(label, script="exec sleep 60", RunAtLoad=True)
        self.bootstrap(path)
        service = int(self.print_fields(label)["pid"])
        os.kill(self.supervisor_of(path)[0], signal.SIGTERM)
        self.assertTrue(wait_for(lambda: not self.loaded(label)))
        self.assertFalse(processes.alive(service))


class SessionStartTest(LaunchctlCase):
    """What a login does: the desktop runs the autostart entry, which loads the user's agents."""

    def agents(self):
        return os.path.join(self.home, "Library", "LaunchAgents")

    def agent(self, label, script, **keys):
        os.makedirs(self.agents(), exist_ok=True)
        path = self.definition(label, script=script, **keys)
        target_path = os.path.join(self.agents(), f"{label}.plist")
        os.replace(path, target_path)
        return target_path

    def test_loads_what_is_not_disabled_once_and_reports_broken_definitions(self):
        self.agent("com.example.at-load", "echo at-load >> marker; exec sleep 60", RunAtLoad=True)
        self.agent("com.example.kept", "echo kept >> marker; exec sleep 60", KeepAlive=True)
        self.agent("com.example.idle", "echo idle >> marker")
        self.agent("com.example.off", "echo off >> marker; exec sleep 60", RunAtLoad=True)
        self.assertResult(self.lc("disable", target("com.example.off")), 0)
        broken = {
            "damaged.plist": ("file", b"<?xml version=\"1.0\"?><plist><dict><key>Label"),
            "folder.plist": ("folder", None),
            "gone.plist": ("link", self.path("nowhere")),
            "nolabel.plist": ("file", plistlib.dumps({"Program": "/bin/true"})),
        }
        for name, (kind, data) in broken.items():
            path = os.path.join(self.agents(), name)
            if kind == "file":
                with open(path, "wb") as f:
                    f.write(data)
            elif kind == "folder":
                os.mkdir(path)
            else:
                os.symlink(data, path)
        with open(os.path.join(self.agents(), "notes.txt"), "w") as f:
            f.write("not a definition")

        first = self.lc("session-start")
        self.assertEqual((first.returncode, first.stdout), (0, ""), first.stderr)
        reported = sorted(line.split(": ", 1)[0] for line in first.stderr.splitlines())
        self.assertEqual(reported, sorted(os.path.join(self.agents(), n) for n in broken))
        self.assertTrue(wait_for(lambda: sorted(self.marker_lines()) == ["at-load", "kept"]))
        self.assertTrue(self.loaded("com.example.idle"))
        self.assertFalse(self.loaded("com.example.off"))

        again = self.lc("session-start")
        self.assertEqual(again.returncode, 0, again.stderr)
        time.sleep(0.3)
        self.assertEqual(sorted(self.marker_lines()), ["at-load", "kept"], "started twice")
        self.assertEqual(self.print_fields("com.example.kept")["runs"], "1")

    def test_without_an_agents_folder_there_is_nothing_to_do(self):
        self.assertResult(self.lc("session-start"), 0)
        self.assertResult(self.lc("session-start", DOMAIN), 64,
                          stderr="Usage: launchctl session-start\n")


class AutostartTest(LaunchctlCase):
    """The autostart entry that a bootstrap from the agents folder leaves for the next login."""

    def setUp(self):
        super().setUp()
        self.config = self.path("config")
        self.env["XDG_CONFIG_HOME"] = self.config
        self.entry = os.path.join(self.config, "autostart", "tessaway-launchd.desktop")
        self.agents = os.path.join(self.home, "Library", "LaunchAgents")
        os.makedirs(self.agents)
        self.program = os.path.realpath(LAUNCHCTL)

    def agent(self, label="com.example.login"):
        path = self.definition(label, script=f"echo {label} >> marker; exec sleep 60",
                               RunAtLoad=True)
        os.replace(path, os.path.join(self.agents, f"{label}.plist"))
        return os.path.join(self.agents, f"{label}.plist")

    def entry_text(self):
        return read_text(self.entry)

    def test_entry_runs_session_start_of_this_program(self):
        outside = self.definition("com.example.outside", script="exec sleep 60")
        self.bootstrap(outside)
        self.assertIsNone(self.entry_text(), "only agents of the agents folder load at login")

        self.bootstrap(self.agent())
        entry = read_group(self.entry_text())
        self.assertEqual({k: entry[k] for k in ("Type", "NoDisplay")},
                         {"Type": "Application", "NoDisplay": "true"})
        self.assertTrue(entry["Name"])
        self.assertEqual(split_exec(entry["Exec"]), [self.program, "session-start"])
        self.assertEqual(entry["TryExec"], self.program)
        self.assertEqual(stat.S_IMODE(os.stat(self.entry).st_mode), 0o644)
        self.assertEqual([n for n in os.listdir(os.path.dirname(self.entry))],
                         ["tessaway-launchd.desktop"], "no temporary file is left")

    def log_out(self, program):
        subprocess.run([program, "bootout", DOMAIN], env=self.env, capture_output=True,
                       timeout=10)
        self.assertTrue(wait_for(lambda: not self.loaded("com.example.login")))
        self.new_session()

    def test_program_at_a_path_with_reserved_characters_still_starts(self):
        # Each login is read by our strict reader of the rules, and by GLib when it is here.
        readers = [("desktop entry rules", lambda: entry_command(self.entry))]
        if shutil.which("gio"):
            readers.append(("GLib", lambda: ["gio", "launch", self.entry]))
        if os.access(XDG_GENERATOR, os.X_OK):
            readers.append(("systemd's generator", self.generated_command))
        # systemd's generator takes no "$" or "`" in a unit's command: only the others go there.
        rows = [("spaces, a percent sign and quotes", 'Tess "way" 100% done', True),
                ("shell characters", "Tess $HOME `x` \\ (copy) it's #1; a|b & c*?~<>", False),
                ("a backslash", "Tess \\ (copy) it's #1; a|b & c*?~<>", True)]
        for name, folder, systemd_takes_it in rows:
            odd = self.path(folder, "launchctl")
            os.makedirs(os.path.dirname(odd))
            shutil.copy2(LAUNCHCTL, odd)
            result = subprocess.run([odd, "bootstrap", DOMAIN, self.agent()], env=self.env,
                                    capture_output=True, text=True, timeout=10)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(read_group(self.entry_text())["TryExec"].replace("\\\\", "\\"),
                             odd)
            for reader, command in readers:
                if reader == "systemd's generator" and not systemd_takes_it:
                    continue
                with self.subTest(name, reader=reader):
                    self.log_out(odd)
                    starts = self.marker_lines().count("com.example.login")
                    login = subprocess.run(command(), env=self.env, capture_output=True,
                                           text=True, timeout=20)
                    self.assertEqual((login.returncode, login.stderr), (0, ""))
                    self.assertTrue(wait_for(lambda: self.marker_lines().count(
                        "com.example.login") == starts + 1))
                    self.assertTrue(self.loaded("com.example.login"))
            self.log_out(odd)

    def generated_command(self):
        """The command of the unit that systemd's autostart generator makes of the entry."""
        out = self.path("generated")
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        subprocess.run([XDG_GENERATOR, out, out, out], capture_output=True, timeout=20,
                       env={**self.env, "XDG_CONFIG_DIRS": self.path("no-such-folder")})
        units = [n for n in os.listdir(out) if n.endswith(".service")]
        self.assertEqual(len(units), 1, "the generator skipped the entry")
        line = next(line for line in read_text(os.path.join(out, units[0])).splitlines()
                    if line.startswith("ExecStart="))
        # The unit's quoting, then its specifiers and variables.
        return [word.replace("%%", "%").replace("$$", "$")
                for word in shlex.split(line[len("ExecStart="):].lstrip(":-+!@"))]

    def test_a_switched_off_entry_shows_in_print_disabled_until_enable(self):
        label = "com.example.login"
        self.bootstrap(self.agent(label))
        self.assertResult(self.lc("bootout", target(label)), 0)
        overrides = ""
        for line in ["Hidden=true", "X-GNOME-Autostart-enabled=false"]:
            with self.subTest(line):
                with open(self.entry, "a") as f:
                    f.write(line + "\n")
                listed = f"disabled services = {{\n{overrides}}}\n"
                # The user manager starts its enabled units at its own start, whatever the
                # desktop's entry says; only the supervisors depend on the entry.
                blocked = (f"login = off: the autostart entry is switched off ({line})\n"
                           if BACKEND == "standin" else "")
                self.assertResult(self.lc("print-disabled", DOMAIN), 0, stdout=listed + blocked)
                self.assertResult(self.lc("enable", target(label)), 0)
                self.assertEqual(line in read_text(self.entry), BACKEND == "systemd")
                if BACKEND == "standin":
                    self.assertEqual(entry_command(self.entry),
                                     [self.program, "session-start"])
                overrides = f'\t"{label}" => enabled\n'
                self.assertResult(self.lc("print-disabled", DOMAIN), 0,
                                  stdout=f"disabled services = {{\n{overrides}}}\n")

    def test_existing_entries(self):
        ours = None
        rows = [
            # name, content before, replaced
            ("missing", None, True),
            ("moved bundle", "[Desktop Entry]\nType=Application\nName=T\n"
                             "Exec=/old/place/launchctl session-start\n", True),
            ("not a desktop entry", "#!/bin/sh\nexec something\n", True),
            ("empty file", "", True),
            ("switched off", "[Desktop Entry]\nType=Application\nName=T\nHidden=true\n"
                             "Exec=/old/place/launchctl session-start\n", False),
            ("switched off in GNOME", "[Desktop Entry]\nType=Application\nName=T\n"
                                      "X-GNOME-Autostart-enabled=false\n"
                                      "Exec=/old/place/launchctl session-start\n", False),
            ("foreign file that says hidden", "Hidden=true\n", False),
            ("ours, edited by the user", None, False),
        ]
        label = "com.example.login"
        path = self.agent(label)
        for name, before, replaced in rows:
            with self.subTest(name):
                os.makedirs(os.path.dirname(self.entry), exist_ok=True)
                if name == "ours, edited by the user":
                    before = ours.replace("Name=", "Name=Mine ")
                if before is None:
                    if os.path.exists(self.entry):
                        os.remove(self.entry)
                else:
                    with open(self.entry, "w") as f:
                        f.write(before)
                self.bootstrap(path)
                after = self.entry_text()
                if replaced:
                    self.assertEqual(entry_command(self.entry),
                                     [self.program, "session-start"])
                    ours = after
                else:
                    self.assertEqual(after, before)
                self.assertResult(self.lc("bootout", target(label)), 0)
                self.assertTrue(wait_for(lambda: not self.loaded(label)))

    def test_entry_that_cannot_be_written_is_said_once_and_the_load_stands(self):
        # A file where the autostart folder should be: no entry can be made, even as root.
        os.makedirs(self.config)
        with open(os.path.join(self.config, "autostart"), "w") as f:
            f.write("")
        first, second = self.agent("com.example.one"), self.agent("com.example.two")
        result = self.lc("bootstrap", DOMAIN, first, second)
        self.assertEqual((result.returncode, result.stdout), (0, ""))
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith(
            "launchctl: start at login could not be registered: "), lines[0])
        self.assertIn(os.path.join(self.config, "autostart"), lines[0])
        self.assertTrue(self.loaded("com.example.one") and self.loaded("com.example.two"))


class FallbackFolderTest(LaunchctlCase):
    """Without XDG_RUNTIME_DIR the runtime folder lies in the shared temporary folder, /tmp,
    whatever TMPDIR says (here a /tmp of the test's own)."""

    def setUp(self):
        super().setUp()
        self.prefix, self.tmp = private_tmp(self, os.path.dirname(LAUNCHCTL))
        del self.env["XDG_RUNTIME_DIR"]
        self.env["TMPDIR"] = self.path("elsewhere-tmp")
        self.folder = os.path.join(self.tmp, f"tessaway-launchd-{UID}")
        agents = os.path.join(self.home, "Library", "LaunchAgents")
        os.makedirs(agents)
        self.agent = os.path.join(agents, "com.example.fallback.plist")
        os.replace(self.definition("com.example.fallback", script="echo ran >> marker; "
                                   "exec sleep 60", RunAtLoad=True), self.agent)

    def test_a_missing_folder_is_made_private(self):
        self.bootstrap(self.agent)
        self.assertEqual(stat.S_IMODE(os.lstat(self.folder).st_mode), 0o700)
        self.assertTrue(self.loaded("com.example.fallback"))
        self.assertResult(self.lc("bootout", DOMAIN), 0)

    def test_a_folder_that_is_not_ours_alone_is_refused_and_left_untouched(self):
        elsewhere = self.path("elsewhere")
        os.makedirs(elsewhere, mode=0o700)

        def plain_file():
            with open(self.folder, "w"):
                pass

        rows = unsafe_folder_rows(self.folder, elsewhere) + [
            ("a file", plain_file, "it is not a folder")]
        commands = [["bootstrap", DOMAIN, self.agent], ["session-start"],
                    ["print", target("com.example.fallback")], ["print", DOMAIN],
                    ["bootout", target("com.example.fallback")], ["bootout", DOMAIN]]
        for name, make, reason in rows:
            with self.subTest(name):
                make()
                try:
                    for args in commands:
                        self.assertResult(self.lc(*args), 1, stderr="launchctl: not using "
                                          f"/tmp/tessaway-launchd-{UID}: {reason}\n")
                    inside = self.folder if os.path.isdir(self.folder) else elsewhere
                    self.assertEqual(os.listdir(inside), [])
                    self.assertEqual(os.listdir(elsewhere), [])
                    self.assertEqual(self.marker_lines(), [])
                finally:
                    if os.path.isdir(self.folder) and not os.path.islink(self.folder):
                        os.rmdir(self.folder)
                    else:
                        os.remove(self.folder)


class QuotingTest(LaunchctlCase):
    """Values that mean something in a unit file (specifiers, variables, escapes, quotes, line
    breaks) or that are not text at all reach the program exactly as the definition has them, as
    under the stand-in, or the definition is refused with a message: never does another program
    run, or the same one with other arguments."""

    # Writes what the program sees, byte for byte, and one line to its standard output.
    PROBE = ("import os, sys\n"
             "out = os.environb[b'PROBE_OUT'] + b'/'\n"
             "seen = {b'args': b'\\0'.join(map(os.fsencode, sys.argv[1:])), b'cwd': os.getcwdb(),\n"
             "        b'env': os.environb.get(b'ODD', b'(unset)'),\n"
             "        b'label': os.environb.get(b'XPC_SERVICE_NAME', b'(unset)')}\n"
             "for name, data in seen.items():\n"
             "    open(out + name, 'wb').write(data)\n"
             "print('100% $out', flush=True)\n"
             "open(out + b'done', 'wb').close()\n")
    ROWS = [("spaces", "a b  c"), ("percent signs", "100% %h %n %%"),
            ("dollar signs", "$HOME ${HOME} $$ $"), ("backslashes", "a\\b \\n \\\\ \\x41 \\"),
            ("quotes", "it's \"quoted\" '"), ("a line feed", "one\ntwo"),
            ("shell characters", "; | & ` * ? # ~"), ("bytes that are not UTF-8", b"caf\xe9 \xff")]

    def write_probe(self, label, value, out):
        """A definition whose arguments, environment, folder and output path carry `value`
        (bytes that are not text are patched into the binary list over a placeholder); the
        folder, made."""
        text = value if isinstance(value, str) else "Z" * len(value)
        folder = os.path.join(out, f"in {text}")
        content = {"Label": label, "RunAtLoad": True, "WorkingDirectory": folder,
                   "StandardOutPath": os.path.join(folder, "out"),
                   "ProgramArguments": [sys.executable, "-c", self.PROBE, text, "plain"],
                   "EnvironmentVariables": {TOKEN_NAME: self.token, "PROBE_OUT": out,
                                            "ODD": text}}
        data = plistlib.dumps(content, fmt=plistlib.FMT_BINARY)
        folder = os.fsencode(folder)
        if not isinstance(value, str):
            data = data.replace(text.encode(), value)
            folder = folder.replace(text.encode(), value)
        os.makedirs(folder)
        path = os.path.join(out, "definition.plist")
        with open(path, "wb") as f:
            f.write(data)
        return path, folder

    def runs_exactly_or_is_refused(self, label, path, out, expected):
        """Whether the definition ran, having checked that it ran as `expected` says (file
        name: content) or was refused with a message and nothing ran."""
        result = self.lc("bootstrap", DOMAIN, path)
        if result.returncode != 0:
            self.assertTrue(result.stderr.strip(), "refused without saying why")
            self.assertFalse(self.loaded(label))
            self.assertFalse(os.path.exists(os.path.join(out, "done")), "it ran after all")
            return False
        self.assertEqual(result.stderr, "")
        self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(out, "done"))),
                        "the program did not run")
        for name, data in expected.items():
            with open(os.path.join(out, name), "rb") as f:
                self.assertEqual(f.read(), data, name)
        self.assertResult(self.lc("bootout", target(label)), 0)
        self.assertTrue(wait_for(lambda: not self.loaded(label)))
        return True

    def test_arguments_environment_and_paths(self):
        for i, (name, value) in enumerate(self.ROWS):
            with self.subTest(name):
                raw = value if isinstance(value, bytes) else value.encode()
                out = self.path(f"probe{i}")
                os.makedirs(out)
                label = f"com.example.quoted{i}"
                path, folder = self.write_probe(label, value, out)
                if self.runs_exactly_or_is_refused(label, path, out, {
                        "args": raw + b"\0plain", "env": raw, "cwd": folder}):
                    with open(os.path.join(folder, b"out"), "rb") as f:
                        self.assertEqual(f.read(), b"100% $out\n")

    def test_labels(self):
        for i, (name, value) in enumerate(r for r in self.ROWS if isinstance(r[1], str)):
            with self.subTest(name):
                label = f"com.example.{value}"
                out = self.path(f"label{i}")
                os.makedirs(out)
                path, _ = self.write_probe(label, "plain", out)
                self.runs_exactly_or_is_refused(label, path, out, {"label": label.encode()})


class UnitFileTest(LaunchctlCase):
    """Under systemd a definition becomes a unit file of the user's."""

    def test_unit_file_damaged_or_replaced_by_hand_is_written_anew(self):
        if not self.manager:
            self.skipTest("the stand-in keeps no unit files")
        label = "com.example.unit"
        unit = os.path.join(self.home, ".local", "share", "systemd", "user", f"{label}.service")
        path = self.definition(label, script="echo ours >> marker; exec sleep 60", RunAtLoad=True)
        rows = [("empty", b""), ("not a unit file", b"\x00\xff[Service\nExecStart"),
                ("another program", b"[Service]\nExecStart=/bin/sh -c 'echo other >> "
                 + self.path("marker").encode() + b"; exec sleep 60'\nRemainAfterExit=yes\n")]
        for name, content in rows:
            with self.subTest(name):
                os.makedirs(os.path.dirname(unit), exist_ok=True)
                with open(unit, "wb") as f:
                    f.write(content)
                # As after a login: the manager has read the file already.
                self.manager.systemctl("daemon-reload")
                runs = len(self.marker_lines())
                self.bootstrap(path)
                self.assertTrue(wait_for(lambda: len(self.marker_lines()) == runs + 1))
                self.assertEqual(set(self.marker_lines()), {"ours"})
                with open(unit, "rb") as f:
                    self.assertNotEqual(f.read(), content)
                self.assertResult(self.lc("bootout", target(label)), 0)


class UserManagerTest(LaunchctlCase):
    """The private user manager that every case under systemd runs on."""

    def test_it_answers_and_its_stop_leaves_nothing_behind(self):
        if not self.manager:
            self.skipTest("runs under systemd only")
        state = ("show", "--property=SystemState", "--value")
        self.assertEqual(self.manager.systemctl(*state), "running")
        # A unit that ignores SIGTERM and leaves a child behind.
        run = subprocess.run(["systemd-run", "--user", "--unit=stubborn", "--property=TimeoutStopSec=1",
                              f"--setenv={TOKEN_NAME}={self.token}", "/bin/sh", "-c",
                              "trap '' TERM; sleep 600 & sleep 600"],
                             env=self.env, capture_output=True, text=True, timeout=30)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(wait_for(lambda: len(self.ours()) == 3))
        inside = self.manager.processes()
        self.assertLessEqual(set(self.ours()), inside)
        self.assertEqual(os.path.exists("/run/systemd/system"), HOST_BOOTED_BY_SYSTEMD,
                         "the manager's mark of a systemd boot reached the host")

        self.manager.stop()
        self.assertEqual(self.manager.leftovers(), [])
        self.assertEqual([pid for pid in inside if processes.alive(pid)], [])
        # A new login finds a new manager on the same home.
        self.assertIsNone(self.manager.start())
        self.assertEqual(self.manager.systemctl(*state), "running")


if __name__ == "__main__":
    unittest.main()
