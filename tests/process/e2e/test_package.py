"""The Debian package of this build: what it holds and declares, what Debian's and the desktop's
checkers say of it, and (as root) a whole life on this machine: installed with apt, started
from its menu entry as a desktop starts it, removed without a trace."""

import fcntl
import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "doubles"))
from desktop_entry import entry_command, read_group  # noqa: E402
from harness import SERVER_LABEL  # noqa: E402
from test_e2e import EndToEndCase  # noqa: E402

INSTALLED_APP = "/opt/tessaway/Tessaway.app"
APP_ID = "com.quorvel.tessaway"
MENU_ENTRY = f"/usr/share/applications/{APP_ID}.desktop"
METAINFO = f"/usr/share/metainfo/{APP_ID}.metainfo.xml"
ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
APT = ["apt-get", "-y", "-q", "-o", "DPkg::Lock::Timeout=600"]


def the_package():
    found = glob.glob(os.path.join(os.environ.get("TESSAWAY_DEB_DIR", ""), "tessaway_*.deb"))
    if len(found) != 1:
        raise AssertionError(f"expected one package, found {found}")
    return found[0]


def package_paths(deb):
    """Every path the package puts on disk, folders included, as absolute paths."""
    listing = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True,
                             check=True).stdout
    names = subprocess.run(["tar", "-t"], input=listing, capture_output=True,
                           check=True).stdout.decode().split("\n")
    return sorted({"/" + name.strip("./").rstrip("/") for name in names if name.strip("./")})


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.deb = the_package()
        cls.tree = tempfile.mkdtemp(prefix="tessaway-deb-")
        cls.addClassCleanup(shutil.rmtree, cls.tree)
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.tree], check=True)

    def at(self, path):
        return self.tree + path

    def test_lintian_finds_no_error(self):
        r = subprocess.run(["lintian", self.deb], capture_output=True, text=True, timeout=900)
        errors = [line for line in r.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual((errors, r.returncode), ([], 0), r.stdout + r.stderr)

    def test_the_bundle_the_link_and_the_desktop_files_are_in_place(self):
        macos = f"{INSTALLED_APP}/Contents/MacOS"
        resources = f"{INSTALLED_APP}/Contents/Resources"
        rows = [
            (f"{macos}/tessaway-tray", "program"),
            (f"{macos}/tessaway-server", "program"),
            (f"{macos}/launchctl", "program"),
            (f"{INSTALLED_APP}/Contents/PlugIns/tessaway-menubar.so", "file"),
            (f"{INSTALLED_APP}/Contents/Info.plist", "file"),
            (f"{resources}/{SERVER_LABEL}.plist.in", "file"),
            (f"{resources}/TrayTemplate.png", "file"),
            (f"{resources}/app/server_main.py", "file"),
            (f"{resources}/python/bin/python3", "program"),
            ("/usr/bin/tessaway-tray", f"{macos}/tessaway-tray"),
            (MENU_ENTRY, "file"),
            (METAINFO, "file"),
            (f"/usr/share/icons/hicolor/scalable/apps/{APP_ID}.svg", "file"),
        ] + [(f"/usr/share/icons/hicolor/{n}x{n}/apps/{APP_ID}.png", n) for n in ICON_SIZES]
        for path, kind in rows:
            with self.subTest(path=path):
                found = self.at(path)
                if isinstance(kind, int):
                    with open(found, "rb") as f:
                        header = f.read(24)
                    self.assertEqual(header[:8], b"\x89PNG\r\n\x1a\n")
                    self.assertEqual(struct.unpack(">II", header[16:24]), (kind, kind))
                elif kind.startswith("/"):
                    self.assertEqual(os.readlink(found), kind)
                else:
                    self.assertTrue(os.path.isfile(found) and not os.path.islink(found))
                    self.assertEqual(os.access(found, os.X_OK), kind == "program")
        # Only the bundle's own folder and the system's shared ones: no home, no /etc.
        outside = [p for p in package_paths(self.deb)
                   if not re.match(r"^/(opt(/tessaway(/.*)?)?|usr(/.*)?)$", p)]
        self.assertEqual(outside, [])

    def test_desktop_entry_and_metadata_satisfy_their_validators(self):
        r = subprocess.run(["desktop-file-validate", self.at(MENU_ENTRY)], capture_output=True,
                           text=True, timeout=60)
        self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))
        with open(self.at(MENU_ENTRY), encoding="utf-8") as f:
            entry = read_group(f.read())
        self.assertEqual((entry["Name"], entry["Icon"]), ("Tessaway Server", APP_ID))
        # The metadata, with the entry and the icons it names, as a software centre reads them.
        for command in (["validate", "--no-net", self.at(METAINFO)],
                        ["validate-tree", "--no-net", self.tree]):
            r = subprocess.run(["appstreamcli", *command], capture_output=True, text=True,
                               timeout=120)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def test_dependencies_and_no_installation_scripts(self):
        r = subprocess.run(["dpkg-deb", "-f", self.deb, "Depends", "Recommends"],
                           capture_output=True, text=True, check=True)
        fields = dict(line.split(": ", 1) for line in r.stdout.splitlines())
        depends = {d.split(" ")[0] for d in fields["Depends"].split(", ")}
        # From the programs' libraries, and the interpreter the bundle runs.
        self.assertLessEqual({"libc6", "libplist3", "libqt6widgets6", "python3"}, depends)
        self.assertEqual(fields["Recommends"], "systemd")
        control = subprocess.run(["dpkg-deb", "--ctrl-tarfile", self.deb], capture_output=True,
                                 check=True).stdout
        members = subprocess.run(["tar", "-t"], input=control, capture_output=True,
                                 check=True).stdout.decode().split()
        self.assertEqual(sorted(m for m in members if m != "./"), ["./control", "./md5sums"])


class InstallTest(EndToEndCase):
    """Installs the package on this machine: root only, one at a time, and never over an
    installation of someone else's."""

    app = INSTALLED_APP

    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("installing the package needs root")
        lock = open("/run/lock/tessaway-package-test.lock", "w")
        self.addCleanup(lock.close)
        fcntl.flock(lock, fcntl.LOCK_EX)
        if self.installed():
            self.skipTest("tessaway is installed on this machine already; left alone")
        self.deb = the_package()
        self.addCleanup(self.purge)
        super().setUp()
        self.env["TESSAWAY_SERVICE_MANAGER"] = "standin"
        self.env["XDG_DATA_HOME"] = os.path.join(self.home, ".local", "share")

    def installed(self):
        r = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "tessaway"],
                           capture_output=True, text=True)
        return r.returncode == 0 and not r.stdout.endswith("not-installed")

    def purge(self):
        if self.installed():
            subprocess.run([*APT, "purge", "tessaway"], capture_output=True, timeout=900)

    def apt(self, *args):
        r = subprocess.run([*APT, *args], capture_output=True, text=True, timeout=900,
                           env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"})
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def test_the_menu_entry_starts_the_server_and_removal_leaves_nothing(self):
        paths = package_paths(self.deb)
        present_before = [p for p in paths if os.path.lexists(p)]
        self.apt("install", "--no-install-recommends", os.path.abspath(self.deb))

        command = entry_command(MENU_ENTRY, search_path=self.env["PATH"])
        self.assertIsNotNone(command, "the desktop would skip the entry")
        r = subprocess.run(command, env=self.env, capture_output=True, timeout=120,
                           stdin=subprocess.DEVNULL)
        self.assertEqual(r.returncode, 0, r.stderr)
        report = self.wait_for_status("Tessaway Server: Running")
        self.assertIn("\u2502 Tessaway Server: Running\n", report)
        port = int(re.search(r"port: (\d+)", report).group(1))
        self.assertEqual(self.opened_addresses(1), [f"http://localhost:{port}/setup"])
        self.assertIn("menu-bar item: shown", self.wait_for_status("menu-bar item: shown"))
        # The agent runs the installed bundle's launcher.
        pid = self.agent_pid(SERVER_LABEL)
        self.assertIsNotNone(pid)
        self.assertEqual(os.readlink(f"/proc/{pid}/exe"),
                         f"{INSTALLED_APP}/Contents/MacOS/tessaway-server")

        self.end_stand_in_services()
        self.apt("remove", "tessaway")
        self.assertEqual([p for p in paths if os.path.lexists(p)], present_before)


if __name__ == "__main__":
    unittest.main()
