"""The Debian package of this build: what it holds and declares, what Debian's and the desktop's
checkers say of it, and (as root) a whole life on this machine: installed with apt, started
from its menu entry as a desktop starts it, removed without a trace."""

import fcntl
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "doubles"))
from desktop_entry import entry_command, read_group  # noqa: E402
from harness import SERVER_LABEL  # noqa: E402
from test_e2e import EndToEndCase  # noqa: E402

APP = "/opt/tessaway/Tessaway.app"
APP_ID = "com.quorvel.tessaway"
MENU_ENTRY = f"/usr/share/applications/{APP_ID}.desktop"
METAINFO = f"/usr/share/metainfo/{APP_ID}.metainfo.xml"
APT = ["apt-get", "-y", "-q", "-o", "DPkg::Lock::Timeout=600"]


def run(*args, **options):
    return subprocess.run(args, capture_output=True, text=True, timeout=900, **options)


def the_package():
    found = glob.glob(os.path.join(os.environ.get("TESSAWAY_DEB_DIR", ""), "tessaway_*.deb"))
    if len(found) != 1:
        raise AssertionError(f"expected one package, found {found}")
    return found[0]


def package_paths(deb):
    """Every path the package puts on disk, folders included."""
    names = run("sh", "-c", 'dpkg-deb --fsys-tarfile "$0" | tar -t', deb).stdout.split("\n")
    return sorted({"/" + name.strip("./") for name in names if name.strip("./")})


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.deb = the_package()
        cls.tree = tempfile.mkdtemp(prefix="tessaway-deb-")
        cls.addClassCleanup(shutil.rmtree, cls.tree)
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.tree], check=True)

    def test_lintian_finds_no_error(self):
        r = run("lintian", self.deb)
        self.assertEqual((re.findall(r"^E: .*", r.stdout, re.M), r.returncode), ([], 0), r.stdout)

    def test_contents_pass_their_validators_and_the_control_declares_what_it_runs_on(self):
        rows = [(f"{APP}/Contents/MacOS/{name}", "program")
                for name in ("tessaway-tray", "tessaway-server", "launchctl")] + [
            (f"{APP}/Contents/Resources/python/bin/python3", "program"),
            (f"{APP}/Contents/PlugIns/tessaway-menubar.so", "file"),
            (f"{APP}/Contents/Resources/app/server_main.py", "file"),
            (f"{APP}/Contents/Resources/{SERVER_LABEL}.plist.in", "file"),
            ("/usr/bin/tessaway-tray", f"{APP}/Contents/MacOS/tessaway-tray"),
            (MENU_ENTRY, "file"),
            (METAINFO, "file"),
        ] + [(f"/usr/share/icons/hicolor/{size}/apps/{APP_ID}.{kind}", "file")
             for size, kind in [("scalable", "svg")] + [
                 (f"{n}x{n}", "png") for n in (16, 22, 24, 32, 48, 64, 128, 256)]]
        for path, kind in rows:
            found = self.tree + path
            actual = (os.readlink(found) if os.path.islink(found) else
                      "program" if os.access(found, os.X_OK) else
                      "file" if os.path.isfile(found) else None)
            self.assertEqual(actual, kind, path)
        # The bundle's own folder and the system's shared ones: no home, no /etc.
        self.assertEqual([p for p in package_paths(self.deb)
                          if not re.match(r"^/(opt(/tessaway(/.*)?)?|usr(/.*)?)$", p)], [])

        with open(self.tree + MENU_ENTRY, encoding="utf-8") as f:
            entry = read_group(f.read())
        self.assertEqual((entry["Name"], entry["Icon"]), ("Tessaway Server", APP_ID))
        # The metadata alone, then with the entry and the icons it names, as software centres
        # read them.
        for command in (["desktop-file-validate", self.tree + MENU_ENTRY],
                        ["appstreamcli", "validate", "--no-net", self.tree + METAINFO],
                        ["appstreamcli", "validate-tree", "--no-net", self.tree]):
            r = run(*command)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

        fields = dict(line.split(": ", 1) for line in
                      run("dpkg-deb", "-f", self.deb, "Depends", "Recommends").stdout.splitlines())
        depends = {d.split(" ")[0] for d in fields["Depends"].split(", ")}
        self.assertLessEqual({"libc6", "libplist3", "libqt6widgets6", "python3"}, depends)
        self.assertEqual(fields["Recommends"], "systemd")
        # Nothing runs at installation or removal.
        control = run("sh", "-c", 'dpkg-deb --ctrl-tarfile "$0" | tar -t', self.deb).stdout
        self.assertEqual(sorted(control.split()), ["./control", "./md5sums"])


class InstallTest(EndToEndCase):
    """Installs the package on this machine: root only, one test at a time, never over an
    installation that was there before."""

    app = APP

    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("installing the package needs root")
        lock = open(os.path.join(tempfile.gettempdir(), "tessaway-package-test.lock"), "w")
        self.addCleanup(lock.close)
        fcntl.flock(lock, fcntl.LOCK_EX)
        if self.installed():
            self.skipTest("tessaway is installed on this machine already; left alone")
        self.deb = the_package()
        # Registered before the home's clean-up, so it runs after that has stopped everything.
        self.addCleanup(lambda: self.installed() and run(*APT, "purge", "tessaway"))
        super().setUp()
        self.env["TESSAWAY_SERVICE_MANAGER"] = "standin"
        self.env["XDG_DATA_HOME"] = os.path.join(self.home, ".local", "share")

    def installed(self):
        r = run("dpkg-query", "-W", "-f=${Status}", "tessaway")
        return r.returncode == 0 and not r.stdout.endswith("not-installed")

    def apt(self, *args):
        r = run(*APT, *args, env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"})
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def test_the_menu_entry_starts_the_server_and_removal_leaves_nothing(self):
        paths = package_paths(self.deb)
        there_before = [p for p in paths if os.path.lexists(p)]
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
        # The agent runs the installed bundle's launcher, the next login its launchctl.
        pid = self.agent_pid(SERVER_LABEL)
        self.assertEqual(pid and os.readlink(f"/proc/{pid}/exe"),
                         f"{APP}/Contents/MacOS/tessaway-server")
        autostart = os.path.join(self.env["XDG_CONFIG_HOME"], "autostart",
                                 "tessaway-launchd.desktop")
        self.assertEqual(entry_command(autostart), [f"{APP}/Contents/MacOS/launchctl",
                                                    "session-start"])

        self.end_services()
        self.apt("remove", "tessaway")
        self.assertEqual([p for p in paths if os.path.lexists(p)], there_before)
        self.assertIsNone(entry_command(autostart), "a login would run the removed bundle")


if __name__ == "__main__":
    unittest.main()
