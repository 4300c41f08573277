#!/usr/bin/env python3
"""Time from a login to the server answering /api/ping, and from `launchctl bootstrap` of the
server agent to the same answer, under each backend of the bundle's launchctl.

A login is, under the stand-in, `launchctl session-start` as the autostart entry runs it; under
systemd, the start of the user manager (the enabled server unit is wanted by default.target).
Each round logs out first (stand-in: bootout of the domain; systemd: the manager stops) and
empties the runtime folder. Prints medians and the ratio of bootstrap to answering under systemd
to the stand-in's (target: at most 1.2).

usage: bench/login_latency.py [BUILD_DIR] [--runs N] [--backend standin|systemd ...]
Runs hermetically (temporary HOME, XDG_RUNTIME_DIR; a private user manager for systemd); run it
in a network namespace of its own when tests run beside it.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "doubles"))
from user_manager import UserManager  # noqa: E402

SERVER_LABEL = "com.quorvel.tessaway-server"


def answers(port):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/api/ping", timeout=1) as r:
            return r.status == 200
    except OSError:
        return False


def until_answering(port, began, seconds=60):
    deadline = began + seconds
    while not answers(port):
        if time.perf_counter() > deadline:
            raise SystemExit(f"the server did not answer on port {port} within {seconds} s")
        time.sleep(0.002)
    return time.perf_counter() - began


class Session:
    """A hermetic home with the agents installed, under one backend."""

    def __init__(self, build, backend):
        macos = os.path.join(os.path.abspath(build), "Tessaway.app", "Contents", "MacOS")
        self.tray, self.launchctl = (os.path.join(macos, n) for n in ("tessaway-tray", "launchctl"))
        self.backend = backend
        self.root = tempfile.mkdtemp(prefix="tessaway-login-bench-")
        self.runtime = os.path.join(self.root, "run")
        home = os.path.join(self.root, "home")
        os.makedirs(home)
        os.makedirs(self.runtime, mode=0o700)
        self.env = {"HOME": home, "XDG_RUNTIME_DIR": self.runtime, "PATH": "/usr/bin:/bin",
                    "LANG": "C.UTF-8", "QT_QPA_PLATFORM": "offscreen",
                    "TESSAWAY_SERVICE_MANAGER": backend}
        self.domain = f"gui/{os.getuid()}"
        self.plist = os.path.join(home, "Library", "LaunchAgents", SERVER_LABEL + ".plist")
        self.manager = (UserManager.start_or_exit(self.env, self.root) if backend == "systemd"
                        else None)
        installed = self.run(self.tray, "--install-agents", "--no-open")
        self.port = int(re.search(rb"port (\d+)", installed.stdout).group(1))
        # Only the server: the menu-bar item is not what is timed.
        self.run(self.launchctl, "bootout", f"{self.domain}/com.quorvel.tessaway-tray")
        self.run(self.launchctl, "disable", f"{self.domain}/com.quorvel.tessaway-tray")
        until_answering(self.port, time.perf_counter())

    def run(self, *argv):
        return subprocess.run(argv, env=self.env, capture_output=True, timeout=60)

    def log_out(self):
        if self.manager:
            self.manager.stop()
        else:
            self.run(self.launchctl, "bootout", self.domain)
        while answers(self.port):
            time.sleep(0.01)
        # The supervisors of the stand-in may still be writing their last records.
        deadline = time.monotonic() + 10
        while os.listdir(self.runtime) and time.monotonic() < deadline:
            for name in os.listdir(self.runtime):
                path = os.path.join(self.runtime, name)
                if os.path.isdir(path) and not os.path.islink(path):
                    shutil.rmtree(path, ignore_errors=True)
                else:
                    os.remove(path)
            time.sleep(0.02)

    def log_in(self):
        """Seconds from the login to the server answering."""
        began = time.perf_counter()
        if self.manager:
            reason = self.manager.start()
            if reason:
                raise SystemExit(f"the user manager did not start again: {reason}")
        else:
            self.run(self.launchctl, "session-start")
        return until_answering(self.port, began)

    def bootstrap(self):
        """Seconds from `bootstrap` of the server agent to its answering."""
        self.run(self.launchctl, "bootout", f"{self.domain}/{SERVER_LABEL}")
        while answers(self.port):
            time.sleep(0.01)
        began = time.perf_counter()
        result = self.run(self.launchctl, "bootstrap", self.domain, self.plist)
        if result.returncode != 0:
            raise SystemExit(f"bootstrap failed: {result.stderr.decode(errors='replace')}")
        return until_answering(self.port, began)

    def close(self):
        subprocess.run([self.launchctl, "bootout", self.domain], env=self.env,
                       capture_output=True, timeout=60)
        if self.manager:
            self.manager.stop()
        shutil.rmtree(self.root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?",
                        default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--backend", nargs="+", choices=("standin", "systemd"),
                        default=["standin", "systemd"])
    args = parser.parse_args()
    medians = {}
    load_before = os.getloadavg()
    for backend in args.backend:
        session = Session(args.build, backend)
        try:
            logins, bootstraps = [], []
            for _ in range(args.runs):
                session.log_out()
                logins.append(session.log_in())
                bootstraps.append(session.bootstrap())
        finally:
            session.close()
        medians[backend] = statistics.median(logins), statistics.median(bootstraps)
        login_name = "user manager start" if backend == "systemd" else "session-start"
        print(f"{backend:8} login ({login_name}) to answering {medians[backend][0] * 1000:8.1f} ms"
              f"   bootstrap to answering {medians[backend][1] * 1000:8.1f} ms"
              f"   (medians of {args.runs})")
    if len(medians) == 2:
        print("bootstrap to answering, systemd / stand-in: "
              f"{medians['systemd'][1] / medians['standin'][1]:.2f} (target <= 1.20)")
    print("load average before: {:.2f} {:.2f} {:.2f}, after: {:.2f} {:.2f} {:.2f}".format(
        *load_before, *os.getloadavg()))


if __name__ == "__main__":
    main()
