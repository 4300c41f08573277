import os
import signal
import socket
import time
import unittest

from server_harness import ServerProcess, ServerTestCase, free_port, load_server_module


class PortChoiceTest(unittest.TestCase):
    def test_port_from_environment(self):
        server_main = load_server_module()
        rows = [
            (None, 8011, False), ("", 8011, False), ("8123", 8123, False), (" 8012\n", 8012, False),
            ("1", 1, False), ("65535", 65535, False), ("0", 8011, True), ("65536", 8011, True),
            ("-5", 8011, True), ("+80", 8011, True), ("80a", 8011, True), ("8 0", 8011, True),
            ("9" * 5000, 8011, True), ("٨٠١٢", 8011, True),
        ]
        for raw, port, noted in rows:
            with self.subTest(raw=raw if raw is None else raw[:12]):
                environ = {} if raw is None else {"TESSAWAY_PORT": raw}
                chosen, note = server_main.port_from_environment(environ)
                self.assertEqual(chosen, port)
                self.assertEqual(note is not None, noted)


class LifecycleTest(ServerTestCase):
    def test_stop_signals_end_the_server_with_status_zero(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name):
                server = self.start_server()
                self.assertEqual(server.stop(sig), 0)
                self.assertIn(f"received {sig.name}; stopping", server.log())
                self.assertTrue(server.log().rstrip().endswith("stopped"))

    def test_an_open_idle_connection_does_not_hold_up_stopping(self):
        server = self.start_server()
        with socket.create_connection(("127.0.0.1", server.port), timeout=5) as idle:
            idle.sendall(b"GET /api/pi")
            started = time.monotonic()
            self.assertEqual(server.stop(), 0)
            self.assertLess(time.monotonic() - started, 3.0)

    def test_a_slow_client_does_not_block_others(self):
        server = self.start_server()
        slow = []
        self.addCleanup(lambda: [s.close() for s in slow])
        for _ in range(5):
            s = socket.create_connection(("127.0.0.1", server.port), timeout=5)
            s.sendall(b"POST /setup/name HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\nserver_")
            slow.append(s)
        self.assertEqual(server.get("/api/ping", timeout=10.0).status, 200)
        self.assertEqual(server.get("/api/setup/status", timeout=10.0).status, 200)

    def test_busy_port_ends_the_server_with_a_message(self):
        port = free_port()
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as holder:
            holder.bind(("127.0.0.1", port))
            holder.listen()
            server = ServerProcess(self, port=port).launch()
            status = server.proc.wait(timeout=10)
        self.assertNotEqual(status, 0)
        self.assertIn(f"port {port} on 127.0.0.1 is already in use", server.stderr())
        self.assertFalse(os.path.exists(os.path.join(server.home, "Library")))

    def test_arguments_are_ignored(self):
        server = self.start_server(args=("--unknown", "value"))
        self.assertEqual(server.get("/api/ping").status, 200)
        self.assertIn("ignoring arguments: --unknown value", server.log())


if __name__ == "__main__":
    unittest.main()
