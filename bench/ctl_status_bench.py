#!/usr/bin/env python3
"""Times `tessaway-tray --ctl status` against two shell scripts: the same work done by stock
tools (the same launchctl commands and the same two HTTP requests with curl), and the floor, the
two launchctl commands alone, which no status report can avoid.

All three run in turn, round after round, against the bundle's launchctl over one backend
(its own supervisors, or a private systemd user manager) with a loaded server agent and a local
server answering. Prints the medians side by side, their ratios (targets: at most 0.45 of the
stock tools, at most 1.5 times the floor) and the load average before and after.

usage: bench/ctl_status_bench.py [BUILD_DIR] [--runs N] [--backend standin|systemd]
"""

import argparse
import http.server
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "doubles"))
from user_manager import UserManager  # noqa: E402

LABEL = "com.quorvel.tessaway-server"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        body = b'{"claimed":false,"server_name":"Bench","configured":true}'
        if self.path != "/api/setup/status":
            body = b""
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    do_HEAD = do_GET


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--runs", type=int, default=40)
    parser.add_argument("--backend", choices=("standin", "systemd"), default="standin")
    args = parser.parse_args()
    macos = os.path.join(os.path.abspath(args.build), "Tessaway.app", "Contents", "MacOS")
    tray, launchctl = os.path.join(macos, "tessaway-tray"), os.path.join(macos, "launchctl")
    curl = shutil.which("curl")
    if not curl:
        sys.exit("curl is needed for the comparison script (apt-get install curl)")

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    port = server.server_address[1]

    root = tempfile.mkdtemp(prefix="tessaway-bench-")
    home = os.path.join(root, "home")
    agents = os.path.join(home, "Library", "LaunchAgents")
    os.makedirs(agents)
    os.makedirs(os.path.join(root, "run"), mode=0o700)
    plist = os.path.join(agents, LABEL + ".plist")
    with open(plist, "w") as f:
        f.write(f"""<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>Label</key><string>{LABEL}</string>
<key>ProgramArguments</key><array><string>/bin/sleep</string><string>3600</string></array>
<key>EnvironmentVariables</key><dict><key>TESSAWAY_PORT</key><string>{port}</string></dict>
<key>RunAtLoad</key><true/>
</dict></plist>
""")
    env = {"HOME": home, "XDG_RUNTIME_DIR": os.path.join(root, "run"), "PATH": "/usr/bin:/bin",
           "XDG_STATE_HOME": os.path.join(home, ".local", "state"), "TESSAWAY_LAUNCHCTL": launchctl,
           "TESSAWAY_SERVICE_MANAGER": args.backend}
    manager = UserManager.start_or_exit(env, root) if args.backend == "systemd" else None
    domain = f"gui/{os.getuid()}"
    script = os.path.join(root, "stock.sh")
    with open(script, "w") as f:
        f.write(f"""#!/bin/sh
"{launchctl}" print {domain}/{LABEL} >/dev/null 2>&1
"{curl}" -s -o /dev/null --noproxy '*' -m 3 http://127.0.0.1:{port}/api/ping
"{curl}" -s -o /dev/null --noproxy '*' -m 3 http://127.0.0.1:{port}/api/setup/status
"{launchctl}" print-disabled {domain} >/dev/null 2>&1
""")
    floor = os.path.join(root, "floor.sh")
    with open(floor, "w") as f:
        f.write(f"""#!/bin/sh
"{launchctl}" print {domain}/{LABEL} >/dev/null 2>&1
"{launchctl}" print-disabled {domain} >/dev/null 2>&1
""")
    os.chmod(script, 0o755)
    os.chmod(floor, 0o755)

    subprocess.run([launchctl, "bootstrap", domain, plist], env=env, check=True)
    try:
        check = subprocess.run([tray, "--ctl", "status"], env=env, capture_output=True, text=True)
        if "Tessaway Server: Running" not in check.stdout:
            sys.exit("the controller does not see a running server:\n" + check.stdout + check.stderr)

        def timed(cmd):
            start = time.perf_counter()
            subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            return time.perf_counter() - start

        runs = {"ours": [], "stock": [], "floor": []}
        commands = {"ours": [tray, "--ctl", "status"], "stock": [script], "floor": [floor]}
        for _ in range(3):  # warm the page cache
            for command in commands.values():
                timed(command)
        load_before = os.getloadavg()
        for _ in range(args.runs):
            for name, command in commands.items():
                runs[name].append(timed(command))
        load_after = os.getloadavg()
        ours, stock, floor_s = (statistics.median(runs[n]) for n in ("ours", "stock", "floor"))
        print(f"medians over {args.runs} rounds (ms), backend {args.backend}:")
        print(f"  tessaway-tray --ctl status           {ours * 1000:8.2f}")
        print(f"  stock tools (sh + launchctl + curl)  {stock * 1000:8.2f}")
        print(f"  floor (sh + the two launchctl runs)  {floor_s * 1000:8.2f}")
        print(f"ratio to stock tools: {ours / stock:.2f} (target <= 0.45)")
        print(f"ratio to the floor:   {ours / floor_s:.2f} (target <= 1.50)")
        print("load average before: {:.2f} {:.2f} {:.2f}, after: {:.2f} {:.2f} {:.2f}".format(
            *load_before, *load_after))
    finally:
        subprocess.run([launchctl, "bootout", domain], env=env)
        if manager:
            manager.stop()
        server.shutdown()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
