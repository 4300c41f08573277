"""Stands in for the server program inside a test bundle.

It records what it was started with (the exact argument vector and environment, the working
directory and its process id) into the file named by TESSAWAY_TEST_RECORD, then does what
TESSAWAY_TEST_ACTION asks:

  exit N        end with exit code N
  signal N      end by signal N
  trap N        end with exit code N on SIGTERM; "ready" on standard output once the trap is set
  report        write the number of every SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1 and SIGUSR2
                it receives to standard output, one per line, after "ready PID"; runs until killed
  linger        end with exit code 42 after two seconds (a signal meant for it never came)
"""
import json
import os
import signal
import sys
import time


def proc_list(name):
    with open(f"/proc/self/{name}", "rb") as f:
        data = f.read()
    return [os.fsdecode(item) for item in data[:-1].split(b"\0")] if data else []


def record(path):
    environment = dict(item.split("=", 1) for item in proc_list("environ") if "=" in item)
    facts = {"argv": proc_list("cmdline"), "env": environment, "cwd": os.getcwd(),
             "pid": os.getpid()}
    with open(path + ".part", "w", encoding="utf-8") as f:
        json.dump(facts, f)
    os.rename(path + ".part", path)


def say(text):
    os.write(1, (text + "\n").encode())


def main():
    if os.environ.get("TESSAWAY_TEST_RECORD"):
        record(os.environ["TESSAWAY_TEST_RECORD"])
    action, _, value = os.environ.get("TESSAWAY_TEST_ACTION", "exit 0").partition(" ")
    if action == "exit":
        os._exit(int(value))
    if action == "signal":
        number = int(value)
        if number not in (signal.SIGKILL, signal.SIGSTOP):
            signal.signal(number, signal.SIG_DFL)
        os.kill(os.getpid(), number)
        time.sleep(5)
        os._exit(99)
    if action == "trap":
        # Blocked and then waited for, the signals cannot slip in between "ready" and the wait.
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
        say("ready")
        signal.sigwaitinfo({signal.SIGTERM})
        os._exit(int(value))
    if action == "report":
        reported = {signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1,
                    signal.SIGUSR2}
        signal.pthread_sigmask(signal.SIG_BLOCK, reported)
        say(f"ready {os.getpid()}")
        while True:
            say(str(signal.sigwaitinfo(reported).si_signo))
    if action == "linger":
        time.sleep(2)
        os._exit(42)
    sys.exit(f"unknown action {action}")

main()
