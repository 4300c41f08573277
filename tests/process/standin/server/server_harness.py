"""Starts the stand-in media server as a process with a temporary home and talks to it."""

import errno
import http.client
import importlib.util
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from html.parser import HTMLParser
from urllib.parse import urlencode

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                "doubles"))
from harness import SERVER_SCRIPT as SCRIPT  # noqa: E402

START_SECONDS = 10.0
# What Chromium sends with a form posted from a page that withholds its referrer.
BROWSER_FORM_HEADERS = {"Origin": "null", "Sec-Fetch-Site": "same-origin"}
STOP_SECONDS = 5.0


def ipv6_loopback_available():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def free_port():
    """A port that is free on 127.0.0.1 and, where it exists, on ::1."""
    for _ in range(50):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s4:
            s4.bind(("127.0.0.1", 0))
            port = s4.getsockname()[1]
            if not ipv6_loopback_available():
                return port
            try:
                with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s6:
                    s6.bind(("::1", port))
                return port
            except OSError as error:
                if error.errno != errno.EADDRINUSE:
                    return port
    raise RuntimeError("no free port found")


def load_server_module():
    """The server script imported as a module, for checks of its pure functions."""
    module_spec = importlib.util.spec_from_file_location("server_main", SCRIPT)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def state_dir(home):
    return os.path.join(home, "Library", "Application Support", "Tessaway")


def state_path(home):
    return os.path.join(state_dir(home), "server-state.json")


class Response:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.body = body

    def header(self, name):
        return self.headers.get(name)

    def json(self):
        return json.loads(self.body.decode("utf-8"))

    def text(self):
        return self.body.decode("utf-8")


class ServerProcess:
    """One server process. It is killed in the test's cleanup whatever happens to the test."""

    def __init__(self, test, home=None, port=None, env=None):
        self.test = test
        if home is None:
            home = tempfile.mkdtemp(prefix="tessaway-server-test-")
            test.addCleanup(_remove_tree, home)
        self.home = home
        self.fixed_port = port
        self.port = port
        self.extra_env = env or {}
        self.proc = None
        self.log_path = None
        self.err_path = None

    def environment(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "TESSAWAY_"))}
        env.update(HOME=self.home, TESSAWAY_PORT=str(self.port), PYTHONNOUSERSITE="1",
                   PYTHONDONTWRITEBYTECODE="1", TESSAWAY_PACKAGING="macos")
        env.update(self.extra_env)
        return {k: v for k, v in env.items() if v is not None}

    def launch(self, args=()):
        """Starts the process without waiting for it to answer."""
        if self.fixed_port is None:
            self.port = free_port()
        logs = tempfile.mkdtemp(prefix="tessaway-server-log-")
        self.test.addCleanup(_remove_tree, logs)
        self.log_path = os.path.join(logs, "stdout.log")
        self.err_path = os.path.join(logs, "stderr.log")
        with open(self.log_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([sys.executable, "-s", "-B", SCRIPT, *args],
                                         env=self.environment(), stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=err)
        self.test.addCleanup(self.kill)
        return self

    def start(self, args=()):
        """Starts the process and waits until it answers the ping."""
        for _ in range(3):
            self.launch(args)
            if self.wait_ready():
                return self
            if self.fixed_port is not None or "already in use" not in self.stderr():
                break
        self.test.fail(f"server did not start (status {self.proc.poll()}):\n"
                       f"{self.stderr()}\n{self.log()}")

    def wait_ready(self):
        deadline = time.monotonic() + START_SECONDS
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            try:
                if self.request("HEAD", "/api/ping", timeout=1.0).status == 200:
                    return True
            except OSError:
                pass
            time.sleep(0.02)
        return False

    def request(self, method, path, body=None, headers=None, host="127.0.0.1", timeout=5.0):
        connection = http.client.HTTPConnection(host, self.port, timeout=timeout)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            answer = connection.getresponse()
            return Response(answer.status, answer.headers, answer.read())
        finally:
            connection.close()

    def get(self, path, **kwargs):
        return self.request("GET", path, **kwargs)

    def post_form(self, path, fields, headers=BROWSER_FORM_HEADERS):
        """Posts `fields` as the setup page's form, with the headers a browser sends for it
        unless `headers` says otherwise."""
        body = urlencode(fields).encode("utf-8")
        all_headers = {"Content-Type": "application/x-www-form-urlencoded"}
        all_headers.update(headers)
        return self.request("POST", path, body=body, headers=all_headers)

    def status(self):
        return self.get("/api/setup/status").json()

    def raw(self, data, responses=1, timeout=5.0):
        """Sends raw bytes on a new connection; returns what arrives until `responses` answers are complete."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as s:
            s.sendall(data)
            received = b""
            while _complete_responses(received) < responses:
                try:
                    chunk = s.recv(65536)
                except (ConnectionResetError, socket.timeout):
                    break
                if not chunk:
                    break
                received += chunk
            return received

    def stop(self, sig=signal.SIGTERM):
        """Sends the signal and returns the exit status."""
        self.proc.send_signal(sig)
        return self.proc.wait(timeout=STOP_SECONDS)

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def log_when(self, found, seconds=15.0):
        """The log once found(log) holds, or as it is after `seconds` (lines follow their answers)."""
        deadline = time.monotonic() + seconds
        while True:
            text = self.log()
            if found(text) or time.monotonic() > deadline:
                return text
            time.sleep(0.02)

    def stderr(self):
        with open(self.err_path, encoding="utf-8", errors="replace") as f:
            return f.read()


def _complete_responses(data):
    """How many whole HTTP responses (each with a Content-Length or none) `data` holds."""
    count = 0
    while True:
        end = data.find(b"\r\n\r\n")
        if end < 0:
            return count
        head = data[:end].decode("latin-1").lower().split("\r\n")
        length = 0
        for line in head[1:]:
            if line.startswith("content-length:"):
                length = int(line.split(":", 1)[1])
        if len(data) < end + 4 + length:
            return count
        data = data[end + 4 + length:]
        count += 1


def _remove_tree(path):
    import shutil

    shutil.rmtree(path, ignore_errors=True)


class PageParser(HTMLParser):
    """Collects the element ids, the forms (action and fields, with the enclosing section) and the text."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.ids = []
        self.labelled = []
        self.inputs = []
        self.forms = []
        self.tags = []
        self.text = []
        self._sections = []
        self._depth = []

    def handle_starttag(self, tag, attrs):
        attributes = dict(attrs)
        self.tags.append(tag)
        if "id" in attributes:
            self.ids.append(attributes["id"])
        if tag == "section":
            self._sections.append(attributes.get("id"))
        elif tag == "form":
            self.forms.append({"action": attributes.get("action"), "method": attributes.get("method"),
                               "section": self._sections[-1] if self._sections else None,
                               "fields": {}})
        elif tag == "label":
            self.labelled.append(attributes.get("for"))
        elif tag == "input" and self.forms:
            self.forms[-1]["fields"][attributes.get("name")] = attributes.get("value")
            self.inputs.append(attributes)

    def handle_endtag(self, tag):
        if tag == "section" and self._sections:
            self._sections.pop()

    def handle_data(self, data):
        self.text.append(data)

    def all_text(self):
        return " ".join("".join(self.text).split())


def parse_page(response):
    parser = PageParser()
    parser.feed(response.text())
    parser.close()
    return parser


class ServerTestCase(unittest.TestCase):
    def start_server(self, args=(), **kwargs):
        return ServerProcess(self, **kwargs).start(args)
