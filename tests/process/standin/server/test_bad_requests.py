import socket
import time
import unittest

from server_harness import ServerTestCase


class BadRequestsTest(ServerTestCase):
    def setUp(self):
        self.server = self.start_server()

    def tearDown(self):
        # Whatever came before, the server still answers.
        self.assertEqual(self.server.get("/api/ping").status, 200)

    def raw_status(self, data, responses=1):
        answer = self.server.raw(data, responses)
        return int(answer.split(b" ", 2)[1]), answer

    def test_slow_clients_never_keep_others_waiting(self):
        # Every connection the server takes is held by a client that sends its request head a
        # byte at a time; others must still be answered at once, again and again.
        rows = [("request line", b"GET /api/pi", b"n"),
                ("headers", b"GET /api/ping HTTP/1.1\r\nX-Slow: ", b"x")]
        for name, opening, trickle in rows:
            with self.subTest(name):
                self.assert_slow_clients_are_let_go(opening, trickle)

    def assert_slow_clients_are_let_go(self, opening, trickle):
        slow = []
        self.addCleanup(lambda: [s.close() for s in slow])
        for _ in range(64):
            s = socket.create_connection(("127.0.0.1", self.server.port), timeout=5)
            s.sendall(opening)
            slow.append(s)
        deadline = time.monotonic() + 12
        answered = 0
        while time.monotonic() < deadline:
            for s in slow:
                try:
                    s.sendall(trickle)
                except OSError:
                    pass
            self.assertEqual(self.server.get("/api/ping", timeout=5).status, 200)
            answered += 1
            time.sleep(0.5)
        self.assertGreater(answered, 10)
        # Past the deadline for a request head, the slow connections have all been closed.
        for s in slow:
            s.settimeout(5)
            try:
                rest = s.recv(1 << 16)
            except ConnectionResetError:
                rest = b""
            self.assertEqual(rest, b"")

    def test_unknown_addresses_are_not_found(self):
        for method, path in (("GET", "/nothing"), ("GET", "/api"), ("GET", "/api/ping/more"),
                             ("GET", "/setup/"), ("POST", "/nothing"), ("HEAD", "/favicon.ico")):
            with self.subTest(method=method, path=path):
                self.assertEqual(self.server.request(method, path, body=b"" if method == "POST" else None).status,
                                 404)

    def test_wrong_methods_are_refused_with_allow(self):
        cases = [
            ("POST", "/api/ping", "GET, HEAD"),
            ("PUT", "/api/setup/status", "GET, HEAD"),
            ("DELETE", "/setup", "GET, HEAD"),
            ("GET", "/setup/name", "POST"),
            ("HEAD", "/setup/finish", "POST"),
            ("PATCH", "/setup/libraries/add", "POST"),
        ]
        for method, path, allow in cases:
            with self.subTest(method=method, path=path):
                answer = self.server.request(method, path, body=b"x=1" if method in ("POST", "PUT", "PATCH") else None)
                self.assertEqual(answer.status, 405)
                self.assertEqual(answer.header("Allow"), allow)

    def test_oversized_forms_are_refused_without_reading_them(self):
        big = b"server_name=" + b"a" * 20000
        self.assertEqual(self.server.request("POST", "/setup/name", body=big,
                                             headers={"Content-Type": "application/x-www-form-urlencoded"}).status,
                         413)
        # Announced but never sent: the answer must not wait for the body.
        status, answer = self.raw_status(b"POST /setup/name HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                         b"Content-Type: application/x-www-form-urlencoded\r\n"
                                         b"Content-Length: 10000000000000000000000\r\n\r\n")
        self.assertEqual(status, 413)
        self.assertIn(b"Connection: close", answer)

    def test_forms_without_a_length_are_refused(self):
        for extra in (b"", b"Transfer-Encoding: chunked\r\n"):
            with self.subTest(extra=extra):
                status, _ = self.raw_status(b"POST /setup/name HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra +
                                            b"Content-Type: application/x-www-form-urlencoded\r\n\r\n")
                self.assertEqual(status, 411)

    def test_malformed_forms_are_bad_requests(self):
        cases = [
            ("invalid utf-8", "/setup/name", b"server_name=%ff%fe"),
            ("missing field", "/setup/name", b"name=x"),
            ("field twice", "/setup/name", b"server_name=a&server_name=b"),
            ("no equals sign", "/setup/libraries/add", b"path"),
            ("empty pair", "/setup/libraries/add", b"path=/tmp&&"),
            ("too many fields", "/setup/finish", b"&".join(b"f%d=1" % i for i in range(40))),
        ]
        for label, path, body in cases:
            with self.subTest(label):
                answer = self.server.request("POST", path, body=body,
                                             headers={"Content-Type": "application/x-www-form-urlencoded"})
                self.assertEqual(answer.status, 400)
        self.assertFalse(self.server.status()["configured"])

    def test_malformed_requests_are_bad_requests(self):
        cases = [
            ("bad length", b"POST /setup/name HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: ten\r\n\r\n", 400),
            ("two lengths", b"POST /setup/name HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n"
                            b"Content-Length: 4\r\n\r\nabcd", 400),
            ("short body", b"POST /setup/name HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 50\r\n\r\nab", None),
            ("garbage line", b"THIS IS NOT HTTP\r\n\r\n", 400),
            ("bad version", b"GET /api/ping HTTP/9.x\r\n\r\n", 400),
            ("two hosts", b"GET /api/ping HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: localhost\r\n\r\n", 400),
            ("too many headers", b"GET /api/ping HTTP/1.1\r\n" + b"X: y\r\n" * 200 + b"\r\n", 431),
        ]
        for label, data, expected in cases:
            with self.subTest(label):
                if expected is None:
                    with __import__("socket").create_connection(("127.0.0.1", self.server.port), timeout=5) as s:
                        s.sendall(data)
                        s.shutdown(1)
                        reply = s.recv(4096)
                    self.assertTrue(reply == b"" or reply.startswith(b"HTTP/1.1 400"), reply)
                else:
                    self.assertEqual(self.raw_status(data)[0], expected)

    def test_other_form_encodings_are_refused(self):
        answer = self.server.request("POST", "/setup/name", body=b"--b\r\n\r\n--b--",
                                     headers={"Content-Type": "multipart/form-data; boundary=b"})
        self.assertEqual(answer.status, 415)

    def test_keep_alive_connection_survives_an_error(self):
        status, answer = self.raw_status(
            b"GET /nothing HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
            b"GET /api/ping HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", responses=2)
        self.assertEqual(status, 404)
        self.assertIn(b"HTTP/1.1 200 OK", answer)


if __name__ == "__main__":
    unittest.main()
