"""Tessaway media server: a small server that answers the desktop controller and
offers the setup page.

Answers
  GET, HEAD  /api/ping            200 with a short text body
  GET, HEAD  /api/setup/status    JSON object: "claimed" (bool), "server_name"
                                  (string), "configured" (bool)
  GET, HEAD  /setup               the setup page (HTML, UTF-8); its media folder
                                  section carries id="libraries"
  POST       /setup/name, /setup/libraries/add, /setup/libraries/remove,
             /setup/finish        the page's forms; a change that succeeds answers
                                  303 See Other back to /setup

Port: TESSAWAY_PORT, a decimal number from 1 to 65535. When the variable is unset,
empty or holds anything else, the server uses 8011 (the log says so for an unusable
value): 8011 is also where the controller looks when it has no port of its own.

Addresses: 127.0.0.1 always, and ::1 as well when the machine has an IPv6 loopback,
so that http://localhost:PORT works whichever address a browser tries first. When
127.0.0.1:PORT cannot be taken (another program holds it) the server writes why on
standard error and ends with status 1; the service manager starts it again later.
Requests must name this server as localhost, 127.0.0.1 or [::1] in their Host
header, and forms are accepted only from this server's own pages, so other web sites
cannot drive the setup through the user's browser: a form whose Sec-Fetch-Site is
neither "same-origin" nor "none", or whose Origin is another site's, is refused, and
Origin "null" counts only together with Sec-Fetch-Site "same-origin". A request
with neither header comes from a program, not from a page, and is accepted.

Settings: ~/Library/Application Support/Tessaway/server-state.json, the home folder
taken from $HOME (the password database when it is unset), replaced atomically on
every change. A file that cannot be read as settings is renamed with the suffix
".damaged-<UTC time>" and the server starts with fresh settings, saying so in its
log. A fresh server reports claimed false, configured false and the machine's host
name until a name is chosen.

Log: standard output, one line per request plus lines for start, settings and stop.

Ends with status 0 on SIGTERM or SIGINT. Command-line arguments are not used; any
given are noted in the log and ignored.
"""

import dataclasses
import errno
import html
import io
import json
import os
import pwd
import re
import selectors
import signal
import socket
import socketserver
import stat
import sys
import tempfile
import threading
import time
import traceback
import unicodedata
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, urlsplit

DEFAULT_PORT = 8011
STATE_FILE_NAME = "server-state.json"
MAX_STATE_BYTES = 1024 * 1024
MAX_FORM_BYTES = 16 * 1024
MAX_FORM_FIELDS = 16
MAX_NAME_CHARS = 64
MAX_PATH_BYTES = 4096
MAX_FOLDERS = 200
MAX_CONNECTIONS = 64
REQUEST_TIMEOUT_SECONDS = 20.0
# A request line and its headers must arrive within this time, however slowly they trickle in.
HEAD_DEADLINE_SECONDS = 10.0
# When every connection is taken, a new one waits this long for an evicted one's place.
EVICTION_WAIT_SECONDS = 2.0
DRAIN_SECONDS = 2.0
DRAIN_BYTES = 1024 * 1024
SERVER_SOFTWARE = "Tessaway/1.0"

# What one log line holds of its message, and how large the log grows before it is rotated:
# anyone who can reach the port chooses what the request lines say.
MAX_LOG_LINE_CHARS = 2048
MAX_LOG_BYTES = 8 * 1024 * 1024

_log_lock = threading.Lock()


def _fresh_log_in_place(path):
    """Puts an empty file at `path` and the old one at its ".1"; returns the new file open for
    appending. The name never stands empty, so a reader (tail -F, a viewer) always finds a log.
    Where hard links are not possible the old file is renamed first."""
    folder, name = os.path.split(path)
    flags = os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
    temp = os.path.join(folder, f".{name}.{os.getpid()}.new")
    try:
        os.link(path, temp)
    except OSError:
        os.replace(path, path + ".1")
        return os.open(path, flags & ~os.O_EXCL, 0o644)
    try:
        os.replace(temp, path + ".1")
        fresh = os.open(temp, flags, 0o644)
    except OSError:
        _remove_quietly(temp)
        raise
    try:
        os.replace(temp, path)
    except OSError:
        os.close(fresh)
        _remove_quietly(temp)
        raise
    return fresh


def _remove_quietly(path):
    try:
        os.unlink(path)
    except OSError:
        pass


def _rotate_log():
    """When standard output is a log file past its bound: the file becomes its ".1" (replacing
    an older one) and a new one takes its place, on standard error too when that is the same
    file. Where the file cannot be renamed it is emptied instead."""
    try:
        out = sys.stdout.fileno()
        info = os.fstat(out)
    except (OSError, ValueError, AttributeError):
        return
    if not stat.S_ISREG(info.st_mode) or info.st_size <= MAX_LOG_BYTES:
        return
    try:
        same_error = os.path.samestat(info, os.fstat(2))
    except OSError:
        same_error = False
    try:
        path = os.readlink(f"/proc/self/fd/{out}")
        if not os.path.samestat(info, os.stat(path)):
            raise OSError("the log file was replaced")
        fresh = _fresh_log_in_place(path)
        try:
            os.dup2(fresh, out)
            if same_error:
                os.dup2(fresh, 2)
        finally:
            os.close(fresh)
    except OSError:
        try:
            os.ftruncate(out, 0)
        except OSError:
            pass


def log(message):
    """Writes one time-stamped line to standard output and flushes it. A long message is cut,
    and the log is rotated when it has grown past its bound."""
    stamp = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
    if len(message) > MAX_LOG_LINE_CHARS:
        message = f"{message[:MAX_LOG_LINE_CHARS]}… ({len(message)} characters)"
    with _log_lock:
        try:
            sys.stdout.write(f"{stamp} {message}\n")
            sys.stdout.flush()
            _rotate_log()
        except (OSError, ValueError, AttributeError):
            pass


def printable(text):
    """The text with control characters written as escapes, safe for one log line."""
    return "".join(c if c.isprintable() else ascii(c)[1:-1] for c in text)


def parse_port(value):
    """The port in a TESSAWAY_PORT value, or None when it is not one from 1 to 65535."""
    if value is None:
        return None
    text = value.strip()
    if not text or len(text) > 10 or not (text.isascii() and text.isdigit()):
        return None
    port = int(text)
    return port if 1 <= port <= 65535 else None


def port_from_environment(environ):
    """The port to listen on and, when the variable's value was unusable, a note for the log."""
    raw = environ.get("TESSAWAY_PORT")
    port = parse_port(raw)
    if port is not None:
        return port, None
    if raw is None or raw == "":
        return DEFAULT_PORT, None
    return DEFAULT_PORT, f"TESSAWAY_PORT {printable(repr(raw))} is not a port from 1 to 65535; using {DEFAULT_PORT}"


def home_dir():
    home = os.environ.get("HOME")
    if home:
        return home
    try:
        return pwd.getpwuid(os.getuid()).pw_dir
    except KeyError:
        return "/"


def state_folder(home):
    return os.path.join(home, "Library", "Application Support", "Tessaway")


def host_name():
    try:
        return socket.gethostname() or "Tessaway"
    except OSError:
        return "Tessaway"


def _has_control_chars(text):
    return any(unicodedata.category(c) == "Cc" or c in "\u2028\u2029" for c in text)


def check_name(raw):
    """(name, None) for an acceptable server name, else (None, the reason for the person)."""
    name = raw.strip()
    if not name:
        return None, "Enter a name for the server."
    if len(name) > MAX_NAME_CHARS:
        return None, f"That name is too long: use at most {MAX_NAME_CHARS} characters."
    if _has_control_chars(name):
        return None, "The name cannot contain control characters such as tabs or line breaks."
    return name, None


def check_folder(raw, home):
    """(normalised path, None) for an existing, readable folder, else (None, the reason)."""
    text = raw.strip()
    if not text:
        return None, "Enter the path of a folder."
    if _has_control_chars(text):
        return None, "A folder path cannot contain control characters."
    if len(text.encode("utf-8")) > MAX_PATH_BYTES:
        return None, "That folder path is too long."
    if text == "~" or text.startswith("~/"):
        text = home.rstrip("/") + text[1:]
    if not os.path.isabs(text):
        return None, f"Enter the full path of the folder, starting with “/”: “{text}” is not one."
    path = os.path.normpath(text)
    try:
        info = os.stat(path)
    except (FileNotFoundError, NotADirectoryError):
        return None, f"There is no folder at “{path}”."
    except OSError as error:
        return None, f"The folder “{path}” cannot be reached: {error.strerror or error}."
    if not stat.S_ISDIR(info.st_mode):
        return None, f"“{path}” is a file, not a folder."
    if not os.access(path, os.R_OK | os.X_OK):
        return None, f"Tessaway is not allowed to read the folder “{path}”."
    return path, None


@dataclasses.dataclass(frozen=True)
class Settings:
    """What the server keeps between runs. server_name None means "use the host name"."""

    server_name: str | None = None
    configured: bool = False
    claimed: bool = False
    media_folders: tuple = ()

    def to_json(self):
        return {
            "server_name": self.server_name,
            "configured": self.configured,
            "claimed": self.claimed,
            "media_folders": list(self.media_folders),
        }


def parse_settings(data):
    """(Settings, None) for the bytes of a sound settings file, else (None, what is wrong)."""
    try:
        obj = json.loads(data.decode("utf-8"))
    except UnicodeDecodeError:
        return None, "it is not UTF-8 text"
    except (ValueError, RecursionError):
        return None, "it is not valid JSON"
    if not isinstance(obj, dict):
        return None, "it is not a JSON object"
    name = obj.get("server_name")
    if name is not None and (not isinstance(name, str) or check_name(name)[0] != name):
        return None, "its server_name is not a valid name"
    for key in ("configured", "claimed"):
        if not isinstance(obj.get(key, False), bool):
            return None, f"its {key} is not true or false"
    folders = obj.get("media_folders", [])
    if (not isinstance(folders, list) or len(folders) > MAX_FOLDERS
            or not all(isinstance(f, str) and os.path.isabs(f) and "\0" not in f for f in folders)):
        return None, "its media_folders is not a list of folder paths"
    return Settings(name, obj.get("configured", False), obj.get("claimed", False), tuple(folders)), None


def read_regular_file(path, limit):
    """Reads at most `limit` bytes of a regular file (also behind a symbolic link).

    Opened without blocking, so that a FIFO or a device in the file's place cannot hold the
    server up; anything but a regular file raises OSError.
    """
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(errno.EINVAL, "it is not a regular file")
        chunks = []
        left = limit
        while left > 0:
            chunk = os.read(fd, min(left, 65536))
            if not chunk:
                break
            chunks.append(chunk)
            left -= len(chunk)
        return b"".join(chunks)
    finally:
        os.close(fd)


class StateStore:
    """The settings in memory and on disk. Changes run under `lock` and reach memory only once saved."""

    def __init__(self, folder):
        self.folder = folder
        self.path = os.path.join(folder, STATE_FILE_NAME)
        self.lock = threading.Lock()
        self.settings = Settings()

    def load(self):
        try:
            data = read_regular_file(self.path, MAX_STATE_BYTES + 1)
        except FileNotFoundError:
            log(f"no saved settings at {self.path}; starting with fresh settings")
            return
        except OSError as error:
            self._set_aside(f"it cannot be read: {error.strerror or error}")
            return
        if len(data) > MAX_STATE_BYTES:
            settings, problem = None, "it is larger than 1 MiB"
        else:
            settings, problem = parse_settings(data)
        if problem:
            self._set_aside(problem)
            return
        self.settings = settings
        log(f"loaded settings from {self.path}")

    def _set_aside(self, reason):
        stamp = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime())
        target = f"{self.path}.damaged-{stamp}"
        number = 1
        while os.path.lexists(target):
            number += 1
            target = f"{self.path}.damaged-{stamp}-{number}"
        try:
            os.rename(self.path, target)
        except OSError as error:
            log(f"settings file {self.path} is damaged ({reason}) and could not be set aside "
                f"({error.strerror or error}); starting with fresh settings, the next change replaces it")
            return
        log(f"settings file {self.path} is damaged ({reason}); set it aside as {target} "
            "and starting with fresh settings")

    def change(self, edit):
        """Applies edit(settings) -> (new settings, None) or (None, reason) and saves the result.

        Answers (None, None) when saved, (400, reason) when the edit refused, (500, reason)
        when the settings could not be written.
        """
        with self.lock:
            updated, problem = edit(self.settings)
            if problem:
                return 400, problem
            try:
                self._write(updated)
            except OSError as error:
                log(f"could not save settings to {self.path}: {error}")
                return 500, f"The settings could not be saved: {error.strerror or error}."
            self.settings = updated
            return None, None

    def _write(self, settings):
        os.makedirs(self.folder, mode=0o700, exist_ok=True)
        data = (json.dumps(settings.to_json(), indent=2, ensure_ascii=False) + "\n").encode("utf-8")
        fd, temp_path = tempfile.mkstemp(prefix=f".{STATE_FILE_NAME}.", suffix=".tmp", dir=self.folder)
        try:
            try:
                view = memoryview(data)
                while view:
                    view = view[os.write(fd, view):]
                os.fsync(fd)
            finally:
                os.close(fd)
            os.replace(temp_path, self.path)
        except BaseException:
            try:
                os.unlink(temp_path)
            except OSError:
                pass
            raise
        try:
            dir_fd = os.open(self.folder, os.O_RDONLY | os.O_DIRECTORY)
            try:
                os.fsync(dir_fd)
            finally:
                os.close(dir_fd)
        except OSError:
            pass


def status_object(settings):
    return {
        "claimed": settings.claimed,
        "server_name": settings.server_name or host_name(),
        "configured": settings.configured,
    }


# What a change that succeeded says afterwards, keyed by the "done" value of its redirect,
# and the section it is shown in (None: at the top of the page).
NOTICES = {
    "name": ("name", "The server name is saved."),
    "folder-added": ("libraries", "The folder is added to your media folders."),
    "folder-removed": ("libraries", "The folder is removed from your media folders."),
    "finished": (None, "Setup is finished: your media server is ready."),
}

PAGE_STYLE = """
body { font: 15px/1.5 -apple-system, "Segoe UI", Cantarell, sans-serif; margin: 0;
       background: #f4f4f6; color: #1d1d1f; }
main { max-width: 40rem; margin: 2rem auto; padding: 0 1rem; }
section { background: #fff; border-radius: 10px; padding: 1rem 1.25rem; margin: 1rem 0;
          box-shadow: 0 1px 3px rgba(0,0,0,.08); }
h1 { font-size: 1.6rem; margin: 0 0 .25rem; }
h2 { font-size: 1.15rem; margin: 0 0 .5rem; }
.state { color: #555; margin: 0; }
.notice { background: #e6f4ea; border-radius: 8px; padding: .6rem 1rem; }
.problem { color: #a50e0e; font-weight: 600; }
form.row { display: flex; gap: .5rem; align-items: center; flex-wrap: wrap; }
form.row input[type=text] { flex: 1 1 16rem; padding: .4rem; font: inherit; }
button { font: inherit; padding: .35rem .9rem; }
ul.folders { list-style: none; padding: 0; }
ul.folders li { display: flex; justify-content: space-between; align-items: center;
                gap: .5rem; padding: .35rem 0; border-bottom: 1px solid #eee; }
.path { font-family: ui-monospace, Menlo, monospace; word-break: break-all; }
.missing { color: #a50e0e; font-size: .85rem; }
section:target { outline: 2px solid #0a64d8; outline-offset: 2px; }
"""


def render_setup_page(settings, home, done=None, problem=None, section=None, entered=None):
    """The setup page as HTML text. `done` names the change that just succeeded (a key of
    NOTICES); `problem` is shown in `section` (None: at the top), and `entered` refills
    that section's field, which takes the focus so that the browser shows it."""
    e = html.escape
    name = settings.server_name or host_name()
    notice_section, notice = NOTICES.get(done, (None, None))

    def messages(which):
        shown = ""
        if notice and notice_section == which:
            shown += f'<p class="notice" role="status">{e(notice)}</p>'
        if problem and section == which:
            shown += f'<p class="problem" role="alert" id="problem">{e(problem)}</p>'
        return shown

    def focus(which):
        return ' autofocus aria-describedby="problem"' if problem and section == which else ""

    name_value = entered if section == "name" and entered is not None else name
    folder_value = entered if section == "libraries" and entered is not None else ""
    if settings.configured:
        state = "Setup is finished. You can change the name and the media folders at any time."
    else:
        state = ("Not set up yet: name your server, add the folders that hold your media, "
                 "then finish setup.")

    rows = []
    for folder in settings.media_folders:
        missing = "" if os.path.isdir(folder) else ' <span class="missing">(not found)</span>'
        rows.append(
            f'<li><span class="path">{e(folder)}</span>{missing}'
            '<form method="post" action="/setup/libraries/remove">'
            f'<input type="hidden" name="path" value="{e(folder)}">'
            f'<button type="submit" aria-label="Remove {e(folder)}">Remove</button></form></li>')
    folders = (f'<ul class="folders">{"".join(rows)}</ul>' if rows
               else "<p>No media folders yet.</p>")

    if settings.configured:
        finish = ('<section id="finish"><h2>Setup finished</h2>'
                  "<p>Your media server is set up.</p>" + messages("finish") + "</section>")
    else:
        finish = ('<section id="finish"><h2>Finish setup</h2>'
                  "<p>When the name and the folders are right, finish setup.</p>"
                  + messages("finish")
                  + '<form method="post" action="/setup/finish">'
                  '<button type="submit">Finish Setup</button></form></section>')

    movies = os.path.join(home, "Movies")
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Tessaway Setup</title>
<style>{PAGE_STYLE}</style>
</head>
<body>
<main>
<h1>Set up your Tessaway server</h1>
<p class="state">{e(state)}</p>
{messages(None)}
<section id="name">
<h2>Server name</h2>
<p>Your devices show this server as <strong class="name">{e(name)}</strong>.</p>
{messages("name")}
<form class="row" method="post" action="/setup/name">
<label for="server-name">Server name</label>
<input type="text" id="server-name" name="server_name" value="{e(name_value)}" maxlength="{MAX_NAME_CHARS}" required{focus("name")}>
<button type="submit">Save Name</button>
</form>
</section>
<section id="libraries">
<h2>Media folders</h2>
<p>Tessaway shares the videos, music and photos in these folders.</p>
{messages("libraries")}
{folders}
<form class="row" method="post" action="/setup/libraries/add">
<label for="folder-path">Folder path</label>
<input type="text" id="folder-path" name="path" value="{e(folder_value)}" placeholder="{e(movies)}" required{focus("libraries")}>
<button type="submit">Add Folder</button>
</form>
</section>
{finish}
</main>
</body>
</html>
"""


# Path -> (allowed methods, handler method name).
ROUTES = {
    "/": (("GET", "HEAD"), "_get_root"),
    "/api/ping": (("GET", "HEAD"), "_get_ping"),
    "/api/setup/status": (("GET", "HEAD"), "_get_status"),
    "/setup": (("GET", "HEAD"), "_get_setup"),
    "/setup/name": (("POST",), "_post_name"),
    "/setup/libraries/add": (("POST",), "_post_add_folder"),
    "/setup/libraries/remove": (("POST",), "_post_remove_folder"),
    "/setup/finish": (("POST",), "_post_finish"),
}

_HOST_PATTERN = re.compile(r"(localhost|127\.0\.0\.1|\[::1\])(?::([0-9]{1,5}))?", re.IGNORECASE)
_LOOPBACK_NAMES = {"localhost", "127.0.0.1", "::1"}
PAGE_SECURITY_HEADERS = (
    ("Content-Security-Policy",
     "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; "
     "frame-ancestors 'none'; base-uri 'none'"),
    # The page's own form posts then name its origin; other sites learn nothing from it.
    ("Referrer-Policy", "same-origin"),
)


class _ConnectionReader(io.RawIOBase):
    """The connection's input. While a request head is awaited, every read gives up at one
    deadline for the whole head, so a client that sends a byte now and then cannot hold its
    connection open; afterwards each read waits at most REQUEST_TIMEOUT_SECONDS."""

    def __init__(self, connection):
        super().__init__()
        self._connection = connection
        self.deadline = None
        self.evicted = False

    def readable(self):
        return True

    def readinto(self, buffer):
        if self.deadline is None:
            self._connection.settimeout(REQUEST_TIMEOUT_SECONDS)
        else:
            remaining = self.deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError("the request head did not arrive in time")
            self._connection.settimeout(min(remaining, REQUEST_TIMEOUT_SECONDS))
        count = self._connection.recv_into(buffer)
        if self.evicted:
            raise ConnectionAbortedError("closed to make room for another client")
        return count


class RequestHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Lets an unparsable request line still get a status line and headers with its 400.
    default_request_version = "HTTP/1.1"
    timeout = REQUEST_TIMEOUT_SECONDS

    def version_string(self):
        return SERVER_SOFTWARE

    def setup(self):
        super().setup()
        self._drain_before_close = False
        # The file the base class made would keep the socket open after it is closed.
        self.rfile.close()
        self._reader = _ConnectionReader(self.connection)
        self.rfile = io.BufferedReader(self._reader)

    def handle_one_request(self):
        self._reader.deadline = time.monotonic() + HEAD_DEADLINE_SECONDS
        self.server.awaiting_head(self, True)
        try:
            super().handle_one_request()
        finally:
            self.server.awaiting_head(self, False)

    def parse_request(self):
        # The headers are read in here: they belong to the head, under its deadline, and their
        # connection stays one that a new client may take the place of.
        parsed = super().parse_request()
        # The head has been read: the body and the answer are no longer under its deadline.
        self.server.awaiting_head(self, False)
        self._reader.deadline = None
        return parsed

    def evict(self):
        """Ends a connection that is still waiting for its request head."""
        self._reader.evicted = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def finish(self):
        super().finish()
        if self._drain_before_close:
            self._drain()

    def _drain(self):
        """Reads what the client still sends, for a short while, before the connection closes.

        Closing a socket with unread data makes the system reset the connection, and a reset
        can destroy the answer before the client has read it.
        """
        try:
            self.request.shutdown(socket.SHUT_WR)
            deadline = time.monotonic() + DRAIN_SECONDS
            drained = 0
            while drained < DRAIN_BYTES:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    break
                self.request.settimeout(remaining)
                chunk = self.request.recv(65536)
                if not chunk:
                    break
                drained += len(chunk)
        except OSError:
            pass

    # Every answer is logged once, by log_request; the base class would add a second line.
    def log_error(self, format, *args):
        pass

    def log_request(self, code="-", size="-"):
        code = getattr(code, "value", code)
        log(f'{self.client_address[0]} "{printable(self.requestline)}" {code} {size}')

    def do_GET(self):
        self._dispatch()

    def do_HEAD(self):
        self._dispatch()

    def do_POST(self):
        self._dispatch()

    def do_PUT(self):
        self._dispatch()

    def do_DELETE(self):
        self._dispatch()

    def do_PATCH(self):
        self._dispatch()

    def do_OPTIONS(self):
        self._dispatch()

    def _dispatch(self):
        self._body_read = False
        self._answered = False
        try:
            self._route()
        except (ConnectionError, TimeoutError):
            self.close_connection = True
        except Exception:
            log(f"fault while answering {printable(self.requestline)!r}:\n{traceback.format_exc().rstrip()}")
            self.close_connection = True
            if not self._answered:
                try:
                    self._send_text(500, "Something went wrong inside the server; its log has the details.")
                except OSError:
                    pass

    def _route(self):
        hosts = self.headers.get_all("Host") or []
        if len(hosts) > 1:
            return self._send_text(400, "The request names more than one Host.")
        if hosts and not self._host_allowed(hosts[0]):
            return self._send_text(421, "This server answers only to localhost, 127.0.0.1 and [::1].")
        path = urlsplit(self.path).path
        route = ROUTES.get(path)
        if route is None:
            return self._send_text(404, "There is nothing at this address.")
        methods, handler = route
        allow = ", ".join(methods)
        if self.command == "OPTIONS":
            return self._send(204, b"", None, (("Allow", allow),))
        if self.command not in methods:
            return self._send_text(405, f"This address accepts only {allow}.", (("Allow", allow),))
        getattr(self, handler)()

    def _host_allowed(self, value):
        match = _HOST_PATTERN.fullmatch(value.strip())
        return match is not None and (match.group(2) is None or int(match.group(2)) == self.server.port)

    def _from_own_page(self):
        """Whether a form comes from this server's own page, as far as the browser says.

        Browsers set both headers themselves and pages cannot change them. Sec-Fetch-Site
        "same-origin" says the posting page is on this very origin, "none" that the person
        started the request, not a page. A page with a strict referrer policy (or a cached
        copy of one) posts with Origin "null"; only "same-origin" vouches for such a post,
        since a sandboxed frame or a page on another site sends the same "null".
        """
        origins = self.headers.get_all("Origin") or []
        sites = self.headers.get_all("Sec-Fetch-Site") or []
        if len(origins) > 1 or len(sites) > 1:
            return False
        site = sites[0].strip().lower() if sites else None
        if site not in (None, "same-origin", "none"):
            return False
        if not origins:
            return True
        if origins[0].strip() == "null":
            return site == "same-origin"
        try:
            parts = urlsplit(origins[0].strip())
            return (parts.scheme == "http" and parts.hostname in _LOOPBACK_NAMES
                    and parts.port == self.server.port and not parts.path.strip("/"))
        except ValueError:
            return False

    def _has_body(self):
        length = self.headers.get("Content-Length")
        return "Transfer-Encoding" in self.headers or (length is not None and length.strip() != "0")

    def _send(self, status, body, content_type, extra_headers=()):
        self.send_response_only(status)
        self.send_header("Server", self.version_string())
        self.send_header("Date", self.date_time_string())
        if status != 204:
            if content_type:
                self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        for key, value in extra_headers:
            self.send_header(key, value)
        # A body left unread would be taken for the next request, so the connection ends here.
        if self._has_body() and not self._body_read:
            self.send_header("Connection", "close")
            self._drain_before_close = True
        self.end_headers()
        if self.command != "HEAD" and body:
            self.wfile.write(body)
        self._answered = True
        self.log_request(status, len(body))

    def _send_text(self, status, text, extra_headers=()):
        self._send(status, (text + "\n").encode("utf-8"), "text/plain; charset=utf-8", extra_headers)

    def _send_page(self, status, page):
        self._send(status, page.encode("utf-8"), "text/html; charset=utf-8", PAGE_SECURITY_HEADERS)

    def _redirect(self, location):
        self._send(303, b"See Other\n", "text/plain; charset=utf-8", (("Location", location),))

    @property
    def _store(self):
        return self.server.store

    def _get_root(self):
        self._redirect("/setup")

    def _get_ping(self):
        self._send_text(200, "ok")

    def _get_status(self):
        body = json.dumps(status_object(self._store.settings), ensure_ascii=False).encode("utf-8")
        self._send(200, body, "application/json; charset=utf-8")

    def _get_setup(self):
        query = urlsplit(self.path).query
        try:
            done = dict(parse_qsl(query, max_num_fields=MAX_FORM_FIELDS)).get("done")
        except ValueError:
            done = None
        self._send_page(200, render_setup_page(self._store.settings, home_dir(), done=done))

    def _read_form(self):
        """The posted form as a dict, or None after answering why it cannot be read."""
        length_values = self.headers.get_all("Content-Length") or []
        if "Transfer-Encoding" in self.headers:
            if length_values:
                self._send_text(400, "The request has both Transfer-Encoding and Content-Length.")
            else:
                self._send_text(411, "Send the form with a Content-Length header.")
            return None
        if not length_values:
            self._send_text(411, "Send the form with a Content-Length header.")
            return None
        text = length_values[0].strip()
        if len(set(v.strip() for v in length_values)) != 1 or not (text.isascii() and text.isdigit()):
            self._send_text(400, "The Content-Length header is not a valid length.")
            return None
        if len(text) > 9 or int(text) > MAX_FORM_BYTES:
            self._send_text(413, f"The form is too large: at most {MAX_FORM_BYTES} bytes are accepted.")
            return None
        content_type = self.headers.get("Content-Type")
        if content_type is not None and \
                content_type.split(";")[0].strip().lower() != "application/x-www-form-urlencoded":
            self._send_text(415, "Send the form as application/x-www-form-urlencoded.")
            return None
        length = int(text)
        try:
            data = self.rfile.read(length)
        except TimeoutError:
            data = b""
        if len(data) < length:
            self.close_connection = True
            self._body_read = True
            self._send_text(400, "The form ended before its Content-Length.")
            return None
        self._body_read = True
        try:
            pairs = parse_qsl(data.decode("utf-8"), keep_blank_values=True, strict_parsing=True,
                              encoding="utf-8", errors="strict",
                              max_num_fields=MAX_FORM_FIELDS) if data else []
        except ValueError:
            self._send_text(400, "The form data is malformed.")
            return None
        form = dict(pairs)
        if len(form) != len(pairs):
            self._send_text(400, "The form names a field more than once.")
            return None
        return form

    def _form_with(self, field):
        """The form after the checks every setup form passes, or None after answering."""
        if not self._from_own_page():
            page = render_setup_page(self._store.settings, home_dir(),
                                     problem="Forms are accepted only from this server's own setup page. "
                                             "Open the setup page from the Tessaway menu and try again.")
            self._send_page(403, page)
            return None
        form = self._read_form()
        if form is None:
            return None
        if field is not None and field not in form:
            self._send_text(400, f"The form lacks the field “{field}”.")
            return None
        return form

    def _finish_change(self, outcome, section, entered, location):
        status, problem = outcome
        if status is None:
            return self._redirect(location)
        page = render_setup_page(self._store.settings, home_dir(), problem=problem,
                                 section=section, entered=entered)
        self._send_page(status, page)

    def _post_name(self):
        form = self._form_with("server_name")
        if form is None:
            return
        name, problem = check_name(form["server_name"])

        def edit(settings):
            return (None, problem) if problem else (dataclasses.replace(settings, server_name=name), None)

        self._finish_change(self._store.change(edit), "name", form["server_name"], "/setup?done=name")

    def _post_add_folder(self):
        form = self._form_with("path")
        if form is None:
            return
        path, problem = check_folder(form["path"], home_dir())

        def edit(settings):
            if problem:
                return None, problem
            real = os.path.realpath(path)
            if any(os.path.realpath(f) == real for f in settings.media_folders):
                return None, f"“{path}” is already one of your media folders."
            if len(settings.media_folders) >= MAX_FOLDERS:
                return None, f"There are already {MAX_FOLDERS} media folders; remove one to add another."
            return dataclasses.replace(settings, media_folders=settings.media_folders + (path,)), None

        self._finish_change(self._store.change(edit), "libraries", form["path"],
                            "/setup?done=folder-added#libraries")

    def _post_remove_folder(self):
        form = self._form_with("path")
        if form is None:
            return
        path = form["path"]

        def edit(settings):
            if path not in settings.media_folders:
                return None, f"“{path}” is not one of your media folders."
            kept = tuple(f for f in settings.media_folders if f != path)
            return dataclasses.replace(settings, media_folders=kept), None

        self._finish_change(self._store.change(edit), "libraries", None,
                            "/setup?done=folder-removed#libraries")

    def _post_finish(self):
        if self._form_with(None) is None:
            return

        def edit(settings):
            return dataclasses.replace(settings, configured=True), None

        self._finish_change(self._store.change(edit), "finish", None, "/setup?done=finished")


class LoopbackServer(ThreadingHTTPServer):
    """One listening address. Each connection gets its own thread, up to MAX_CONNECTIONS at once."""

    daemon_threads = True
    # Stopping must not wait for connections that a slow client keeps open.
    block_on_close = False
    request_queue_size = 64
    allow_reuse_address = True
    allow_reuse_port = False

    def __init__(self, address, family, store, port):
        self.address_family = family
        self.store = store
        self.port = port
        self._slots = threading.BoundedSemaphore(MAX_CONNECTIONS)
        self._waiting_lock = threading.Lock()
        # Connections waiting for a request head, oldest first.
        self._waiting = {}
        super().__init__(address, RequestHandler)

    def awaiting_head(self, handler, waiting):
        with self._waiting_lock:
            if waiting:
                self._waiting[handler] = True
            else:
                self._waiting.pop(handler, None)

    def _evict_oldest_waiting(self):
        """Makes room by ending the connection that has waited longest for a request head
        (a slow or idle client); false when every connection is busy with a request."""
        with self._waiting_lock:
            oldest = next(iter(self._waiting), None)
            if oldest is None:
                return False
            del self._waiting[oldest]
        log(f"{oldest.client_address[0]} closed: its request was incomplete and another client needs the place")
        oldest.evict()
        return True

    def server_bind(self):
        if self.address_family == socket.AF_INET6:
            self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        # HTTPServer.server_bind would look the address up in DNS, which can stall the start.
        socketserver.TCPServer.server_bind(self)
        self.server_name = "localhost"
        self.server_port = self.server_address[1]

    def process_request(self, request, client_address):
        if not self._slots.acquire(blocking=False) and not (
                self._evict_oldest_waiting()
                and self._slots.acquire(timeout=EVICTION_WAIT_SECONDS)):
            log(f"{client_address[0]} refused: {MAX_CONNECTIONS} connections are already open")
            try:
                request.settimeout(1.0)
                request.sendall(b"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
                                b"Connection: close\r\nRetry-After: 1\r\n\r\n")
            except OSError:
                pass
            self.shutdown_request(request)
            return
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._slots.release()
            raise

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._slots.release()

    def handle_error(self, request, client_address):
        error = sys.exc_info()[1]
        if isinstance(error, (ConnectionError, TimeoutError)):
            log(f"{client_address[0]} connection ended: {error}")
        else:
            log(f"fault on a connection from {client_address[0]}:\n{traceback.format_exc().rstrip()}")


def _say(message):
    try:
        sys.stderr.write(f"tessaway server: {message}\n")
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):
        pass


def _serve(servers, wake):
    """Answers connections on every server until a stop signal arrives; returns its number."""
    with selectors.DefaultSelector() as selector:
        for server in servers:
            selector.register(server, selectors.EVENT_READ)
        selector.register(wake, selectors.EVENT_READ)
        while True:
            for key, _ in selector.select():
                if key.fileobj is wake:
                    received = os.read(wake, 64)
                    stops = [n for n in received if n in (signal.SIGTERM, signal.SIGINT)]
                    if stops:
                        return stops[0]
                else:
                    key.fileobj.handle_request()


def main(argv):
    # A stop signal only records itself in the wake-up pipe; the serving loop sees it there,
    # so stopping needs no polling and a signal that arrives early is not lost.
    wake, wake_write = os.pipe()
    os.set_blocking(wake, False)
    os.set_blocking(wake_write, False)
    signal.set_wakeup_fd(wake_write, warn_on_full_buffer=False)
    for number in (signal.SIGTERM, signal.SIGINT):
        signal.signal(number, lambda *_: None)
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.reconfigure(errors="backslashreplace")
        except (AttributeError, ValueError):
            pass

    port, port_note = port_from_environment(os.environ)
    try:
        ipv4 = LoopbackServer(("127.0.0.1", port), socket.AF_INET, None, port)
    except OSError as error:
        if error.errno == errno.EADDRINUSE:
            _say(f"port {port} on 127.0.0.1 is already in use by another program "
                 "(another Tessaway server?); cannot start")
        else:
            _say(f"cannot listen on 127.0.0.1:{port}: {error.strerror or error}")
        return 1
    servers = [ipv4]
    addresses = [f"http://127.0.0.1:{port}"]
    try:
        servers.append(LoopbackServer(("::1", port), socket.AF_INET6, None, port))
        addresses.append(f"http://[::1]:{port}")
        ipv6_note = None
    except OSError as error:
        if error.errno == errno.EADDRINUSE:
            ipv6_note = (f"warning: port {port} on ::1 is held by another program, "
                         "so localhost may reach that program instead of this server")
        else:
            ipv6_note = f"no IPv6 loopback ({error.strerror or error}); listening on 127.0.0.1 only"

    packaging = os.environ.get("TESSAWAY_PACKAGING", "")
    log(f"Tessaway server starting (pid {os.getpid()}, packaging {printable(packaging) or 'none'})")
    for note in (port_note, ipv6_note):
        if note:
            log(note)
    if len(argv) > 1:
        log(f"ignoring arguments: {printable(' '.join(argv[1:]))}")

    store = StateStore(state_folder(home_dir()))
    store.load()
    for server in servers:
        server.store = store
        # The loop below only hands over connections that are ready to be accepted.
        server.timeout = 0
    log(f"listening on {' and '.join(addresses)}")

    received = _serve(servers, wake)
    log(f"received {signal.Signals(received).name}; stopping")
    for server in servers:
        server.server_close()
    # Held until the process ends, so no settings file is being replaced as it goes.
    store.lock.acquire()
    log("stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
