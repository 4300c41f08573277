#!/usr/bin/env python3
"""The scripted HTTP server of every Python test: answers each (method, path) as scripted on
127.0.0.1 and records every request.

Run as a program, it stands in for the media server when the menu-bar item runs by hand or in a
benchmark: `test_http_server.py CONTROL_DIR` writes its port to CONTROL_DIR/port, and every
request reads CONTROL_DIR/ping (the status of /api/ping, default 200; "silent": no answer ever)
and CONTROL_DIR/setup (the body of /api/setup/status, default a linked, named server).
"""

import http.server
import pathlib
import sys
import threading

FOREVER = 24 * 3600.0


class ScriptedHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _answer(self):
        server = self.server
        with server.lock:
            server.seen.append((self.command, self.path))
            answer = server.responses.get((self.command, self.path), (404, b"", 0))
        status, body, delay, *headers = answer() if callable(answer) else answer
        headers = (headers[0] if headers else None) or {"Content-Type": "application/json"}
        if delay:
            server.stopping.wait(delay)
            if server.stopping.is_set():
                return
        try:
            self.send_response(status)
            for name, value in headers.items():
                self.send_header(name, value)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(body)
        except OSError:
            pass

    do_GET = _answer
    do_HEAD = _answer


class TestServer(http.server.ThreadingHTTPServer):
    """The server, serving from a thread of its own until stop()."""

    daemon_threads = True

    def __init__(self, port=0):
        super().__init__(("127.0.0.1", port), ScriptedHandler)
        self.lock = threading.Lock()
        self.responses = {}
        self.seen = []
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)
        self.thread.start()

    @property
    def port(self):
        return self.server_address[1]

    def respond(self, method, path, status, body=b"", delay=0, headers=None):
        """Answers `method` `path` with `status` and `body` after `delay` seconds, with the
        `headers` given (a dict; by default a JSON Content-Type)."""
        if isinstance(body, str):
            body = body.encode()
        self.respond_with(method, path, (status, body, delay, headers))

    def respond_with(self, method, path, answer):
        """Answers `method` `path` with (status, body bytes, delay[, headers]), or with what
        the callable `answer` returns at each request."""
        with self.lock:
            self.responses[(method, path)] = answer

    def requests(self):
        with self.lock:
            return list(self.seen)

    def stop(self):
        self.stopping.set()
        self.shutdown()
        self.server_close()


def serve_from(control):
    """Serves as the files in the folder `control` say, until the process is ended."""
    def read(name, default):
        try:
            return (control / name).read_text().strip() or default
        except OSError:
            return default

    def ping():
        status = read("ping", "200")
        return (200, b"pong", FOREVER) if status == "silent" else (int(status), b"pong", 0)

    def setup():
        default = '{"claimed": true, "server_name": "Living Room", "configured": true}'
        return 200, read("setup", default).encode(), 0

    server = TestServer()
    for method in ("GET", "HEAD"):
        server.respond_with(method, "/api/ping", ping)
        server.respond_with(method, "/api/setup/status", setup)
    (control / "port").write_text(str(server.port))
    threading.Event().wait()


if __name__ == "__main__":
    serve_from(pathlib.Path(sys.argv[1]))
