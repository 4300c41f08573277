import json
import os
import socket
import tempfile
import unittest

from server_harness import ServerTestCase, parse_page, state_dir, state_path

FRESH = {"claimed": False, "server_name": socket.gethostname(), "configured": False}


class StateTest(ServerTestCase):
    def make_home(self):
        home = tempfile.mkdtemp(prefix="tessaway-server-home-")
        self.addCleanup(__import__("shutil").rmtree, home, True)
        return home

    def write_state(self, home, data):
        os.makedirs(state_dir(home), exist_ok=True)
        with open(state_path(home), "wb") as f:
            f.write(data)

    def test_settings_survive_a_restart(self):
        first = self.start_server()
        media = os.path.join(first.home, "Films")
        os.mkdir(media)
        first.post_form("/setup/name", {"server_name": "Attic"})
        first.post_form("/setup/libraries/add", {"path": media})
        first.post_form("/setup/finish", {})
        self.assertEqual(first.stop(), 0)

        with open(state_path(first.home), encoding="utf-8") as f:
            stored = json.load(f)
        self.assertEqual(stored["server_name"], "Attic")
        self.assertEqual(stored["media_folders"], [media])
        self.assertEqual(os.listdir(state_dir(first.home)), ["server-state.json"])

        second = self.start_server(home=first.home)
        self.assertEqual(second.status(), {"claimed": False, "server_name": "Attic", "configured": True})
        page = parse_page(second.get("/setup"))
        self.assertIn(media, [f["fields"].get("path") for f in page.forms])

    def test_stored_settings_are_reported(self):
        home = self.make_home()
        self.write_state(home, json.dumps({"server_name": "Cellar", "configured": True, "claimed": True,
                                           "media_folders": [], "added_later": 1}).encode())
        server = self.start_server(home=home)
        self.assertEqual(server.status(), {"claimed": True, "server_name": "Cellar", "configured": True})
        self.assertIn("loaded settings", server.log())

    def test_damaged_file_is_set_aside_and_the_server_starts_fresh(self):
        cases = {
            "not json": b"{\"server_name\": ",
            "empty": b"",
            "not an object": b"[1, 2]",
            "not utf-8": b"\xff\xfe{}",
            "wrong type": b"{\"configured\": \"yes\"}",
            "bad name": b"{\"server_name\": \"a\\nb\"}",
            "bad folders": b"{\"media_folders\": [\"relative\"]}",
            "deep nesting": b"[" * 100000,
        }
        for label, data in cases.items():
            with self.subTest(label):
                home = self.make_home()
                self.write_state(home, data)
                server = self.start_server(home=home)
                self.assertEqual(server.status(), FRESH)
                aside = [n for n in os.listdir(state_dir(home)) if n.startswith("server-state.json.damaged-")]
                self.assertEqual(len(aside), 1)
                with open(os.path.join(state_dir(home), aside[0]), "rb") as f:
                    self.assertEqual(f.read(), data)
                self.assertFalse(os.path.exists(state_path(home)))
                self.assertRegex(server.log(), r"settings file .* is damaged .*set it aside as .*damaged-")
                self.assertEqual(server.post_form("/setup/name", {"server_name": "Again"}).status, 303)
                self.assertEqual(server.stop(), 0)

    def test_a_fifo_or_folder_in_place_of_the_file_never_holds_the_server_up(self):
        for label, make in (("fifo", os.mkfifo), ("folder", os.mkdir)):
            with self.subTest(label):
                home = self.make_home()
                os.makedirs(state_dir(home))
                make(state_path(home))
                # start_server gives up after 10 s; a reader blocked on the FIFO never answers.
                server = self.start_server(home=home)
                self.assertEqual(server.status(), FRESH)
                self.assertIn("it is not a regular file" if label == "fifo" else "damaged",
                              server.log())
                self.assertEqual(server.stop(), 0)

    def test_a_second_damaged_file_does_not_replace_the_first(self):
        home = self.make_home()
        for data in (b"one", b"two"):
            self.write_state(home, data)
            server = self.start_server(home=home)
            self.assertEqual(server.stop(), 0)
        kept = set()
        for name in os.listdir(state_dir(home)):
            with open(os.path.join(state_dir(home), name), "rb") as f:
                kept.add(f.read())
        self.assertEqual(kept, {b"one", b"two"})

    def test_settings_that_cannot_be_saved_are_reported_and_not_taken(self):
        home = self.make_home()
        os.makedirs(os.path.dirname(state_dir(home)))
        with open(state_dir(home), "w") as f:
            f.write("in the way")
        server = self.start_server(home=home)
        answer = server.post_form("/setup/name", {"server_name": "Nowhere"})
        self.assertEqual(answer.status, 500)
        self.assertIn("The settings could not be saved", parse_page(answer).all_text())
        self.assertEqual(server.status(), FRESH)
        self.assertEqual(server.get("/api/ping").status, 200)


if __name__ == "__main__":
    unittest.main()
