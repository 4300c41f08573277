#!/usr/bin/env python3
"""Start-to-exit latency of the bundle launchctl's read-only commands, over one backend.

The controller asks `print` (is the server loaded?) on every poll and `print-disabled` for the
start-at-login state. Each call is measured the way the controller makes it: spawned with one
pipe for both output streams, read to its end, then waited for. The medians should stay under
3 ms; `/bin/true`, spawned the same way, shows the floor of this machine.

Usage: bench/launchctl_latency.py [--launchctl PATH] [--runs N] [--backend standin|systemd]
Runs hermetically: a temporary HOME, XDG_RUNTIME_DIR and XDG_STATE_HOME (with systemd, a private
user manager on them), one loaded service (a `sleep`), and everything booted out and removed at
the end.
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import tempfile
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_TOOL = os.path.join(ROOT, "build", "Tessaway.app", "Contents", "MacOS", "launchctl")
LABEL = "com.quorvel.bench"
TARGET_MS = 3.0

sys.path.insert(0, os.path.join(ROOT, "tests", "doubles"))
from user_manager import UserManager  # noqa: E402


def alive(pid):
    """True while the process exists and is not a zombie."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def spawn_and_drain(argv, env):
    """Seconds from spawn to exit, with the output read to its end as the controller does."""
    reader, writer = os.pipe()
    actions = [(os.POSIX_SPAWN_DUP2, writer, 1), (os.POSIX_SPAWN_DUP2, writer, 2),
               (os.POSIX_SPAWN_CLOSE, reader), (os.POSIX_SPAWN_CLOSE, writer)]
    began = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, env, file_actions=actions)
    os.close(writer)
    while os.read(reader, 65536):
        pass
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter() - began
    os.close(reader)
    return elapsed, os.waitstatus_to_exitcode(status)


def measure(name, argv, env, runs, expected_status):
    spawn_and_drain(argv, env)  # warm the page cache
    times = []
    for _ in range(runs):
        elapsed, status = spawn_and_drain(argv, env)
        if status != expected_status:
            raise SystemExit(f"{name}: exit status {status}, expected {expected_status}")
        times.append(elapsed * 1000)
    times.sort()
    p90 = times[int(len(times) * 0.9) - 1]
    median = statistics.median(times)
    print(f"{name:<28} median {median:6.3f} ms   p90 {p90:6.3f} ms   min {times[0]:6.3f} ms")
    return median


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--launchctl", default=DEFAULT_TOOL)
    parser.add_argument("--runs", type=int, default=300)
    parser.add_argument("--backend", choices=("standin", "systemd"), default="standin")
    args = parser.parse_args()
    tool = os.path.abspath(args.launchctl)
    if not os.access(tool, os.X_OK):
        raise SystemExit(f"no launchctl at {tool}; build first")

    root = tempfile.mkdtemp(prefix="launchctl-bench-")
    runtime = os.path.join(root, "run")
    os.makedirs(runtime, mode=0o700)
    env = {"PATH": "/usr/bin:/bin", "HOME": root, "XDG_RUNTIME_DIR": runtime,
           "XDG_STATE_HOME": os.path.join(root, "state"),
           "TESSAWAY_SERVICE_MANAGER": args.backend}
    manager = UserManager.start_or_exit(env, root) if args.backend == "systemd" else None
    domain = f"gui/{os.getuid()}"
    definition = os.path.join(root, f"{LABEL}.plist")
    with open(definition, "w") as f:
        f.write(f"""<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>Label</key><string>{LABEL}</string>
<key>ProgramArguments</key><array><string>/bin/sleep</string><string>600</string></array>
<key>RunAtLoad</key><true/>
<key>EnvironmentVariables</key><dict><key>TESSAWAY_PORT</key><string>8011</string></dict>
</dict></plist>
""")
    service_pid = None
    try:
        for label in ("com.quorvel.tessaway-server", "com.quorvel.tessaway-tray"):
            subprocess.run([tool, "disable", f"{domain}/{label}"], env=env, check=True)
        subprocess.run([tool, "bootstrap", domain, definition], env=env, check=True)
        shown = subprocess.run([tool, "print", f"{domain}/{LABEL}"], env=env, check=True,
                               capture_output=True, text=True).stdout
        service_pid = next(int(line.split("=")[1]) for line in shown.splitlines()
                           if line.startswith("\tpid = "))

        print(f"{args.runs} runs each, {tool}, backend {args.backend}")
        measure("/bin/true (floor)", ["/bin/true"], env, args.runs, 0)
        results = [
            measure("print, loaded", [tool, "print", f"{domain}/{LABEL}"], env, args.runs, 0),
            measure("print, not loaded", [tool, "print", f"{domain}/com.quorvel.none"], env,
                    args.runs, 113),
            measure("print-disabled", [tool, "print-disabled", domain], env, args.runs, 0),
        ]
        verdict = "within" if max(results) < TARGET_MS else "OVER"
        print(f"slowest median {max(results):.3f} ms: {verdict} the {TARGET_MS:.0f} ms target")
    finally:
        subprocess.run([tool, "bootout", domain], env=env)
        if service_pid is not None:
            deadline = time.monotonic() + 3
            while alive(service_pid) and time.monotonic() < deadline:
                time.sleep(0.02)
            if alive(service_pid):
                os.killpg(service_pid, signal.SIGKILL)
        if manager:
            manager.stop()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
