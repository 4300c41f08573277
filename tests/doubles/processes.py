"""What /proc says about the machine's processes: the one place the process-level tests read it.
A process that ends while it is read counts as not there."""

import os


def _read(pid, name):
    try:
        with open(f"/proc/{pid}/{name}", "rb") as f:
            return f.read()
    except OSError:
        return None


def _stat_fields(pid):
    """The fields of /proc/PID/stat after the command name (state first), or None."""
    stat = _read(pid, "stat")
    return stat[stat.rindex(b")") + 2:].split() if stat else None


def state(pid):
    """The state letter of `pid` ("Z" for a zombie), or None when it does not exist."""
    fields = _stat_fields(pid)
    return fields[0].decode() if fields else None


def alive(pid):
    """True while the process exists and is not a zombie."""
    return state(pid) not in (None, "Z", "X")


def arguments(pid):
    """The command line of `pid` as a list of strings (empty when it is gone)."""
    blob = _read(pid, "cmdline") or b""
    return blob.decode(errors="replace").split("\0")[:-1]


def processes(where):
    """Ids of the processes other than this one for which `where(pid)` holds."""
    own = os.getpid()
    return [int(n) for n in os.listdir("/proc") if n.isdigit() and int(n) != own and where(int(n))]


def mentioning(text):
    """Processes whose command line or environment mentions `text`."""
    return processes(lambda pid: text.encode() in (_read(pid, "cmdline") or b"")
                     + (_read(pid, "environ") or b""))


def with_environment_entry(entry):
    """Live processes whose environment holds exactly `entry` (b"NAME=value")."""
    return processes(lambda pid: entry in (_read(pid, "environ") or b"").split(b"\0")
                     and alive(pid))


def parent(pid):
    """The parent's process id of `pid`, or None when it does not exist."""
    fields = _stat_fields(pid)
    return int(fields[1]) if fields else None


def children_of(pid):
    """Processes whose parent is `pid`, zombies included."""
    return processes(lambda child: parent(child) == pid)


def mount_namespace(pid):
    """The inode of the mount namespace of `pid`; None once it is gone."""
    try:
        return os.stat(f"/proc/{pid}/ns/mnt").st_ino
    except OSError:
        return None


def in_mount_namespace(inode):
    """Processes whose mount namespace is `inode`."""
    return processes(lambda pid: mount_namespace(pid) == inode)
