"""A private systemd user manager for one test, torn down with nothing left behind.

systemd's user manager runs without systemd as the first process when it is given three things:
a mount namespace of its own in which /run/systemd/system exists (made there on a private
tmpfs, never on the shared host, where every systemctl would then believe systemd booted), a
cgroup of its own that it may write, and a private XDG_RUNTIME_DIR. Everything else of the test
stays outside the namespace: the tools reach the manager through the socket it makes in the
runtime folder, which both sides see.

    manager = UserManager.start_for(test, env)   # skips the test, in one line, where it cannot
    manager.stop()                               # a logout; start_for(test, env) again to log in
"""

import os
import pwd
import signal
import socket
import subprocess
import time
import uuid

import processes

SYSTEMD = "/lib/systemd/systemd"
CGROUP_ROOT = "/sys/fs/cgroup"

# Runs inside the new mount namespace: marks the namespace as booted by systemd, joins the
# cgroups named as arguments and becomes the manager. Where the host has no /run/systemd to
# mount over, a private /run takes its place.
ENTER = r"""
set -e
if [ -d /run/systemd ]; then mount -t tmpfs -o mode=0755 tessaway-test /run/systemd
else mount -t tmpfs -o mode=0755 tessaway-test /run; fi
mkdir -p /run/systemd/system
for procs in "$@"; do echo $$ > "$procs"; done
unset PWD
exec "$0" --user
"""


def cgroup_hierarchies():
    """Mount points of the hierarchies the manager keeps its processes in: the cgroup2 one and,
    on a hybrid layout, the named systemd one."""
    found = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            point, rest = fields[4], fields[fields.index("-") + 1:]
            if rest[0] == "cgroup2" or (rest[0] == "cgroup" and "name=systemd" in rest[2]):
                found.append(point)
    return found


def cgroup_processes(folder):
    """Process ids in the cgroup `folder` and every cgroup below it."""
    pids = set()
    for here, _, files in os.walk(folder):
        if "cgroup.procs" in files:
            try:
                with open(os.path.join(here, "cgroup.procs")) as f:
                    pids.update(int(line) for line in f if line.strip())
            except OSError:
                pass
    return pids


def remove_cgroup(folder):
    """Removes `folder` and the cgroups below it, deepest first; whether it is gone."""
    for here, _, _ in sorted(os.walk(folder), key=lambda entry: -entry[0].count("/")):
        try:
            os.rmdir(here)
        except FileNotFoundError:
            pass
        except OSError:
            return False
    return not os.path.exists(folder)


class UserManager:
    def __init__(self, env, log):
        # What a user's manager has from its login, as user@.service gives it.
        account = pwd.getpwuid(os.getuid())
        self.env = {"USER": account.pw_name, "LOGNAME": account.pw_name,
                    "SHELL": account.pw_shell or "/bin/sh", **env}
        self.runtime = env["XDG_RUNTIME_DIR"]
        self.socket = os.path.join(self.runtime, "systemd", "private")
        self.log = log
        self.cgroups = []
        self.process = None
        self.namespace = None

    @classmethod
    def start_for(cls, test, env, log=None):
        """A running manager for `env` (HOME, XDG_RUNTIME_DIR and whatever its services should
        inherit), stopped by the test's clean-up; skips `test` where none can run here."""
        manager = cls(env, log or os.path.join(env["XDG_RUNTIME_DIR"], "..",
                                               f"user-manager-{uuid.uuid4().hex[:8]}.log"))
        test.addCleanup(manager.stop)
        reason = manager.start()
        if reason:
            test.skipTest(f"no private systemd user manager: {reason}")
        return manager

    @classmethod
    def start_or_exit(cls, env, folder):
        """For a benchmark: a running manager for `env`, logging into `folder`, or the program
        ends saying why there is none."""
        manager = cls(env, os.path.join(folder, "user-manager.log"))
        reason = manager.start()
        if reason:
            manager.stop()
            raise SystemExit(f"no private systemd user manager: {reason}")
        return manager

    def start(self, seconds=30):
        """Starts the manager, unless it runs, and waits until it is up; None, or why it
        cannot run here."""
        if self.pid():
            return None
        if os.geteuid() != 0:
            return "a mount namespace and a cgroup of its own need root here"
        if not os.access(SYSTEMD, os.X_OK):
            return f"{SYSTEMD} is not installed"
        hierarchies = cgroup_hierarchies()
        if not hierarchies:
            return "no cgroup2 or name=systemd hierarchy is mounted"
        name = f"tessaway-test-{os.getpid()}-{uuid.uuid4().hex[:8]}"
        procs = []
        for hierarchy in hierarchies:
            folder = os.path.join(hierarchy, name)
            try:
                os.mkdir(folder)
            except OSError as error:
                return f"cannot make a cgroup in {hierarchy}: {error.strerror}"
            self.cgroups.append(folder)
            procs.append(os.path.join(folder, "cgroup.procs"))
        with open(self.log, "ab") as log:
            try:
                self.process = subprocess.Popen(
                    ["unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", ENTER,
                     SYSTEMD, *procs],
                    env=self.env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                    start_new_session=True)
            except OSError as error:
                return f"unshare: {error.strerror}"
        deadline = time.monotonic() + seconds
        while not self.answers():
            if self.process.poll() is not None or time.monotonic() > deadline:
                return self.last_words()
            time.sleep(0.01)
        self.namespace = processes.mount_namespace(self.process.pid)
        # Up once the units it starts by itself have started (default.target).
        while self.systemctl("show", "--property=SystemState", "--value") in (
                "initializing", "starting", ""):
            if self.process.poll() is not None or time.monotonic() > deadline:
                return self.last_words()
            time.sleep(0.02)
        return None

    def answers(self):
        """Whether the manager accepts connections on its socket (one a stopped manager left
        behind refuses them)."""
        with socket.socket(socket.AF_UNIX) as probe:
            try:
                probe.connect(self.socket)
                return True
            except OSError:
                return False

    def added_environment(self):
        """Names of the variables the manager hands its units beyond those it was started
        with (from environment.d, its session bus)."""
        shown = self.systemctl("show-environment").splitlines()
        return {line.split("=", 1)[0] for line in shown} - set(self.env)

    def systemctl(self, *args):
        """What `systemctl --user ARGS` prints, stripped, asked of this manager."""
        result = subprocess.run(["systemctl", "--user", "--no-pager", *args], env=self.env,
                                capture_output=True, text=True, timeout=30)
        return result.stdout.strip()

    def last_words(self):
        status = self.process.poll()
        lines = [line for line in open(self.log, errors="replace").read().splitlines() if line]
        said = lines[-1] if lines else "(nothing)"
        return (f"its socket did not appear; it said: {said}" if status is None
                else f"it ended with status {status}; it said: {said}")

    def pid(self):
        return self.process.pid if self.process and self.process.poll() is None else None

    def processes(self):
        """Process ids of the manager and everything it runs."""
        return set().union(*(cgroup_processes(c) for c in self.cgroups)) if self.cgroups else set()

    def stop(self, seconds=30):
        """Stops the manager as a logout does (its services are stopped in order), then ends
        whatever outlived it and removes its cgroups. Safe to call twice."""
        if self.process is not None:
            if self.process.poll() is None:
                self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=seconds)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self.process = None
        for _ in range(100):
            left = self.processes()
            if not left:
                break
            for pid in left:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            time.sleep(0.05)
        # A cgroup whose last process has just ended may still be busy for a moment.
        deadline = time.monotonic() + 10
        while True:
            self.cgroups = [c for c in self.cgroups if not remove_cgroup(c)]
            if not self.cgroups or time.monotonic() > deadline:
                break
            time.sleep(0.05)

    def leftovers(self):
        """What is left of a stopped manager, as descriptions; empty when nothing is."""
        left = [f"process {pid}" for pid in sorted(self.processes())]
        left += [f"cgroup {folder}" for folder in self.cgroups if os.path.exists(folder)]
        if self.namespace is not None:
            left += [f"process {pid} in its mount namespace"
                     for pid in processes.in_mount_namespace(self.namespace)]
        return left
