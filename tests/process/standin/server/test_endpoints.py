import os
import re
import socket
import threading
import unittest

from server_harness import ServerTestCase, ipv6_loopback_available, parse_page


class EndpointsTest(ServerTestCase):
    def setUp(self):
        self.server = self.start_server()

    def test_ping_answers_head_and_get(self):
        head = self.server.request("HEAD", "/api/ping")
        self.assertEqual(head.status, 200)
        self.assertEqual(head.body, b"")
        get = self.server.get("/api/ping")
        self.assertEqual(get.status, 200)
        self.assertEqual(int(get.header("Content-Length")), len(get.body))

    def test_fresh_server_reports_not_set_up_under_the_host_name(self):
        answer = self.server.get("/api/setup/status")
        self.assertEqual(answer.status, 200)
        self.assertTrue(answer.header("Content-Type").startswith("application/json"))
        self.assertEqual(answer.json(),
                         {"claimed": False, "server_name": socket.gethostname(), "configured": False})

    def test_setup_page_is_html_with_the_libraries_section_holding_the_folder_form(self):
        answer = self.server.get("/setup")
        self.assertEqual(answer.status, 200)
        self.assertEqual(answer.header("Content-Type"), "text/html; charset=utf-8")
        page = parse_page(answer)
        self.assertEqual(len(page.ids), len(set(page.ids)), page.ids)
        self.assertIn("libraries", page.ids)
        by_action = {form["action"]: form for form in page.forms}
        self.assertEqual(by_action["/setup/libraries/add"]["section"], "libraries")
        self.assertIn("path", by_action["/setup/libraries/add"]["fields"])
        self.assertEqual(by_action["/setup/name"]["fields"]["server_name"], socket.gethostname())
        self.assertIn("/setup/finish", by_action)
        self.assertTrue(all(form["method"] == "post" for form in page.forms))
        self.assertIn("Not set up yet", page.all_text())
        visible = [i for i in page.inputs if i.get("type") != "hidden"]
        self.assertEqual([i["id"] for i in visible], ["server-name", "folder-path"])
        self.assertTrue(all(i["id"] in page.labelled for i in visible), page.labelled)

    def test_head_of_the_setup_page_gives_its_length_without_a_body(self):
        get = self.server.get("/setup")
        head = self.server.request("HEAD", "/setup")
        self.assertEqual(head.status, 200)
        self.assertEqual(head.body, b"")
        self.assertEqual(int(head.header("Content-Length")), len(get.body))

    def test_root_leads_to_the_setup_page(self):
        answer = self.server.get("/")
        self.assertEqual(answer.status, 303)
        self.assertEqual(answer.header("Location"), "/setup")

    def test_localhost_host_form_reaches_the_server(self):
        self.assertEqual(self.server.get("/api/ping", host="localhost").status, 200)
        self.assertEqual(self.server.get("/setup", host="localhost").status, 200)
        if ipv6_loopback_available():
            self.assertEqual(self.server.get("/api/ping", host="::1").status, 200)

    def test_each_request_gives_one_log_line(self):
        self.server.get("/api/ping")
        self.server.get("/api/setup/status")
        self.server.get("/nothing-here")
        self.server.raw(b"NONSENSE\r\n\r\n")
        self.server.post_form("/setup/name", {"server_name": ""})
        patterns = (r'"GET /api/ping HTTP/1.1" 200', r'"GET /api/setup/status HTTP/1.1" 200',
                    r'"GET /nothing-here HTTP/1.1" 404', r'"NONSENSE" 400', r'"POST /setup/name HTTP/1.1" 400')
        log = self.server.log_when(lambda text: all(re.search(p, text) for p in patterns))
        for pattern in patterns:
            self.assertEqual(len(re.findall(pattern, log)), 1, f"{pattern} in\n{log}")

    def test_control_characters_in_a_request_do_not_reach_the_log_raw(self):
        self.server.raw(b"GET /x\x1b[31m HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        log = self.server.log_when(lambda text: "GET /x" in text)
        self.assertNotIn("\x1b", log)
        self.assertIn("\\x1b[31m", log)

    def test_the_log_is_bounded_per_line_and_in_size(self):
        # Anyone who reaches the port chooses the request line: its line in the log is cut.
        self.server.raw(b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        log = self.server.log_when(lambda text: "GET /aaa" in text)
        line = next(line for line in log.splitlines() if "GET /aaa" in line)
        self.assertLess(len(line), 2200)
        self.assertRegex(line, r"… \(\d+ characters\)$")
        # Past its bound the log is rotated: the next line goes to a fresh file, and a reader
        # watching the name never finds it missing.
        missing = []
        done = threading.Event()

        def watch():
            while not done.is_set():
                if not os.path.exists(self.server.log_path):
                    missing.append(True)

        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            for _ in range(5):
                os.truncate(self.server.log_path, 9 * 1024 * 1024)
                self.server.get("/api/ping")
        finally:
            done.set()
            watcher.join()
        self.assertEqual(missing, [], "the log's name stood empty during a rotation")
        rotated = self.server.log_path + ".1"
        self.server.get("/api/setup/status")
        log = self.server.log_when(lambda text: "/api/setup/status" in text)
        self.assertLess(len(log), 4096, "the fresh log holds only what came after the rotation")
        self.assertGreaterEqual(os.path.getsize(rotated), 9 * 1024 * 1024)


if __name__ == "__main__":
    unittest.main()
