import os
import socket
import tempfile
import unittest

from server_harness import ServerTestCase, parse_page


class SetupFlowTest(ServerTestCase):
    def setUp(self):
        self.server = self.start_server()
        self.media = os.path.join(self.server.home, "Media Library")
        os.mkdir(self.media)

    def folders_on_page(self):
        page = parse_page(self.server.get("/setup"))
        return [form["fields"]["path"] for form in page.forms
                if form["action"] == "/setup/libraries/remove"]

    def test_name_folders_and_finish(self):
        named = self.server.post_form("/setup/name", {"server_name": "  Living Room – Büro  "})
        self.assertEqual(named.status, 303)
        self.assertEqual(named.header("Location"), "/setup?done=name")
        self.assertEqual(self.server.status()["server_name"], "Living Room – Büro")
        self.assertIn("The server name is saved.", parse_page(self.server.get(named.header("Location"))).all_text())

        added = self.server.post_form("/setup/libraries/add", {"path": self.media})
        self.assertEqual(added.status, 303)
        self.assertTrue(added.header("Location").endswith("#libraries"))
        self.assertEqual(self.folders_on_page(), [self.media])

        second = os.path.join(self.server.home, "Music")
        os.mkdir(second)
        self.assertEqual(self.server.post_form("/setup/libraries/add", {"path": "~/Music"}).status, 303)
        self.assertEqual(self.folders_on_page(), [self.media, second])

        removed = self.server.post_form("/setup/libraries/remove", {"path": self.media})
        self.assertEqual(removed.status, 303)
        self.assertEqual(self.folders_on_page(), [second])
        self.assertFalse(self.server.status()["configured"])

        finished = self.server.post_form("/setup/finish", {})
        self.assertEqual(finished.status, 303)
        status = self.server.status()
        self.assertTrue(status["configured"])
        self.assertFalse(status["claimed"])
        self.assertNotIn("/setup/finish", [f["action"] for f in parse_page(self.server.get("/setup")).forms])

    def test_folders_that_cannot_be_added_are_refused_with_a_message(self):
        a_file = os.path.join(self.server.home, "notes.txt")
        with open(a_file, "w") as f:
            f.write("x")
        missing = os.path.join(self.server.home, "gone")
        self.assertEqual(self.server.post_form("/setup/libraries/add", {"path": self.media}).status, 303)
        cases = [
            (missing, f"There is no folder at “{missing}”."),
            (os.path.join(a_file, "below"), "There is no folder at"),
            (a_file, f"“{a_file}” is a file, not a folder."),
            ("relative/path", "starting with “/”"),
            ("   ", "Enter the path of a folder."),
            (self.media + "/", "is already one of your media folders"),
            ("/tmp/\x01bad", "control characters"),
            ("/" + "x" * 5000, "too long"),
        ]
        for path, message in cases:
            with self.subTest(path=path[:40]):
                answer = self.server.post_form("/setup/libraries/add", {"path": path})
                self.assertEqual(answer.status, 400)
                self.assertEqual(answer.header("Content-Type"), "text/html; charset=utf-8")
                self.assertIn(message, parse_page(answer).all_text())
        self.assertEqual(self.folders_on_page(), [self.media])

    def test_names_that_cannot_be_used_are_refused_with_a_message(self):
        cases = [
            ("", "Enter a name for the server."),
            ("   ", "Enter a name for the server."),
            ("n" * 65, "That name is too long: use at most 64 characters."),
            ("two\nlines", "control characters"),
            ("tab\there", "control characters"),
        ]
        for name, message in cases:
            with self.subTest(name=name):
                answer = self.server.post_form("/setup/name", {"server_name": name})
                self.assertEqual(answer.status, 400)
                self.assertIn(message, parse_page(answer).all_text())
        self.assertEqual(self.server.status()["server_name"], socket.gethostname())
        longest = "é" * 64
        self.assertEqual(self.server.post_form("/setup/name", {"server_name": longest}).status, 303)
        self.assertEqual(self.server.status()["server_name"], longest)

    def test_refused_name_leaves_the_stored_name_alone(self):
        self.server.post_form("/setup/name", {"server_name": "Den"})
        self.assertEqual(self.server.post_form("/setup/name", {"server_name": "x" * 100}).status, 400)
        self.assertEqual(self.server.status()["server_name"], "Den")

    def test_removing_a_folder_that_is_not_listed_is_refused(self):
        answer = self.server.post_form("/setup/libraries/remove", {"path": "/nowhere"})
        self.assertEqual(answer.status, 400)
        self.assertIn("“/nowhere” is not one of your media folders.", parse_page(answer).all_text())

    def test_a_folder_that_vanished_can_still_be_removed(self):
        doomed = tempfile.mkdtemp(dir=self.server.home)
        self.server.post_form("/setup/libraries/add", {"path": doomed})
        os.rmdir(doomed)
        self.assertIn("(not found)", parse_page(self.server.get("/setup")).all_text())
        self.assertEqual(self.server.post_form("/setup/libraries/remove", {"path": doomed}).status, 303)
        self.assertEqual(self.folders_on_page(), [])

    def test_user_text_is_escaped_in_the_page(self):
        name = "<b>\"Tom\" & 'Jerry'</b>"
        self.assertEqual(self.server.post_form("/setup/name", {"server_name": name}).status, 303)
        odd = os.path.join(self.server.home, "<script>alert('x')</script>")
        os.makedirs(odd)
        self.assertEqual(self.server.post_form("/setup/libraries/add", {"path": odd}).status, 303)
        refused = self.server.post_form("/setup/libraries/add", {"path": "/no/<img src=x>"})
        for answer in (self.server.get("/setup"), refused):
            page = parse_page(answer)
            self.assertNotIn("b", page.tags)
            self.assertNotIn("script", page.tags)
            self.assertNotIn("img", page.tags)
        page = parse_page(self.server.get("/setup"))
        self.assertEqual([f["fields"]["server_name"] for f in page.forms if f["action"] == "/setup/name"], [name])
        self.assertIn(odd, page.all_text())
        self.assertIn("/no/<img src=x>", parse_page(refused).all_text())

    def test_forms_from_other_sites_and_hosts_are_refused(self):
        port = self.server.port
        for origin in ("http://evil.example", f"http://evil.example:{port}", "null",
                       f"https://localhost:{port}", "http://localhost:1"):
            with self.subTest(origin=origin):
                answer = self.server.post_form("/setup/name", {"server_name": "Hijacked"},
                                               headers={"Origin": origin})
                self.assertEqual(answer.status, 403)
        for host in ("evil.example", f"evil.example:{port}", "localhost:1"):
            with self.subTest(host=host):
                answer = self.server.post_form("/setup/finish", {}, headers={"Host": host})
                self.assertEqual(answer.status, 421)
        self.assertNotEqual(self.server.status()["server_name"], "Hijacked")
        self.assertFalse(self.server.status()["configured"])
        for origin in (f"http://localhost:{port}", f"http://127.0.0.1:{port}", f"http://[::1]:{port}"):
            with self.subTest(origin=origin):
                answer = self.server.post_form("/setup/name", {"server_name": "Own page"},
                                               headers={"Origin": origin})
                self.assertEqual(answer.status, 303)


if __name__ == "__main__":
    unittest.main()
