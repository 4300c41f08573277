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
        self.assertIn("Your devices show this server as Living Room – Büro. The server name is saved.",
                      parse_page(self.server.get(named.header("Location"))).all_text())

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
                page = parse_page(answer)
                self.assertIn(message, page.all_text())
                # The field that holds the refused path takes the focus, so the browser shows it.
                self.assertIn("autofocus", next(i for i in page.inputs if i.get("type") == "text"
                                                and i["name"] == "path"))
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

    def test_forms_are_taken_only_from_this_servers_own_page(self):
        own = f"http://localhost:{self.server.port}"
        # Who posts, with which headers, and whether the server takes it.
        rows = [
            ("own page, referrer withheld", {"Origin": "null", "Sec-Fetch-Site": "same-origin"}, True),
            ("own page", {"Origin": own, "Sec-Fetch-Site": "same-origin"}, True),
            ("own page by address", {"Origin": f"http://127.0.0.1:{self.server.port}"}, True),
            ("own page over IPv6", {"Origin": f"http://[::1]:{self.server.port}"}, True),
            ("the person, not a page", {"Sec-Fetch-Site": "none"}, True),
            ("a program", {}, True),
            ("other site, referrer withheld", {"Origin": "null", "Sec-Fetch-Site": "cross-site"}, False),
            ("other port of localhost", {"Origin": "null", "Sec-Fetch-Site": "same-site"}, False),
            ("null with nothing to vouch for it", {"Origin": "null"}, False),
            ("null, person-started", {"Origin": "null", "Sec-Fetch-Site": "none"}, False),
            ("other site", {"Origin": "http://evil.example", "Sec-Fetch-Site": "cross-site"}, False),
            ("other site on this port", {"Origin": f"http://evil.example:{self.server.port}"}, False),
            ("other scheme", {"Origin": f"https://localhost:{self.server.port}"}, False),
            ("other local port", {"Origin": "http://localhost:1", "Sec-Fetch-Site": "same-site"}, False),
            ("cross-site without Origin", {"Sec-Fetch-Site": "cross-site"}, False),
            ("own Origin, cross-site fetch", {"Origin": own, "Sec-Fetch-Site": "cross-site"}, False),
        ]
        for who, headers, taken in rows:
            with self.subTest(who):
                answer = self.server.post_form("/setup/name", {"server_name": who}, headers=headers)
                self.assertEqual(answer.status, 303 if taken else 403)
                if not taken:
                    self.assertEqual(answer.header("Content-Type"), "text/html; charset=utf-8")
                    self.assertIn("Forms are accepted only from this server's own setup page.",
                                  parse_page(answer).all_text())
                self.assertEqual(self.server.status()["server_name"] == who, taken)
        # Every form is guarded, and the Host check comes before all of them.
        named = self.server.status()["server_name"]
        cross_site = {"Origin": "null", "Sec-Fetch-Site": "cross-site"}
        for path, fields in (("/setup/libraries/add", {"path": self.media}), ("/setup/finish", {}),
                             ("/setup/libraries/remove", {"path": self.media})):
            with self.subTest(path):
                self.assertEqual(self.server.post_form(path, fields, headers=cross_site).status, 403)
        for host in ("evil.example", f"evil.example:{self.server.port}", "localhost:1"):
            with self.subTest(host=host):
                headers = {"Host": host, "Origin": "null", "Sec-Fetch-Site": "same-origin"}
                self.assertEqual(self.server.post_form("/setup/finish", {}, headers=headers).status, 421)
        self.assertEqual(self.server.status(), {"claimed": False, "server_name": named, "configured": False})
        self.assertEqual(self.folders_on_page(), [])


if __name__ == "__main__":
    unittest.main()
