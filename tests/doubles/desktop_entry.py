"""A strict reader of desktop entries, as a desktop reads an autostart entry at login or the
menu entry that a user chooses: the [Desktop Entry] group's values unescaped as strings, then
Exec split by its quoting rules and its field codes expanded. Anything ambiguous is an error,
as it is for the strictest readers."""

import os
import shutil

STRING_ESCAPES = {"s": " ", "n": "\n", "t": "\t", "r": "\r", "\\": "\\"}
RESERVED = set(" \t\n\"'\\><~|&;$*?#()`")
QUOTED_ESCAPES = set('"`$\\')


def read_group(text, group="Desktop Entry"):
    """The keys and raw values of one group."""
    values, current = {}, None
    for line in text.split("\n"):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("["):
            if not line.endswith("]"):
                raise ValueError(f"bad group header: {line!r}")
            current = line[1:-1]
            continue
        key, sep, value = line.partition("=")
        if not sep:
            raise ValueError(f"not a key=value line: {line!r}")
        if current == group:
            values[key.strip()] = value.strip()
    return values


def decode_pairs(text, marker, table, what):
    """`text` with every `marker` and the character after it replaced from `table`; any other
    pair, or a marker at the end, is an error."""
    out, i = [], 0
    while i < len(text):
        if text[i] != marker:
            out.append(text[i])
            i += 1
            continue
        pair = text[i + 1:i + 2]
        if pair not in table:
            raise ValueError(f"invalid {what} {marker}{pair} in {text!r}")
        out.append(table[pair])
        i += 2
    return "".join(out)


def unescape_string(value):
    return decode_pairs(value, "\\", STRING_ESCAPES, "string escape")


def expand_field_codes(argument):
    return decode_pairs(argument, "%", {"%": "%"}, "field code")


def split_exec(value):
    """The argument vector of an Exec value as read from the file."""
    line = unescape_string(value)
    args, i = [], 0
    while i < len(line):
        if line[i] == " ":
            i += 1
            continue
        arg = []
        if line[i] == '"':
            i += 1
            while True:
                if i == len(line):
                    raise ValueError("unterminated quote")
                c = line[i]
                if c == "\\":
                    if line[i + 1:i + 2] not in QUOTED_ESCAPES:
                        raise ValueError("backslash before an ordinary character in quotes")
                    arg.append(line[i + 1])
                    i += 2
                elif c == '"':
                    i += 1
                    break
                elif c in "`$":
                    raise ValueError(f"{c} must be escaped inside quotes")
                else:
                    arg.append(c)
                    i += 1
            if i < len(line) and line[i] != " ":
                raise ValueError("a quoted argument must be quoted in whole")
        else:
            while i < len(line) and line[i] != " ":
                if line[i] in RESERVED:
                    raise ValueError(f"reserved character {line[i]!r} outside quotes")
                arg.append(line[i])
                i += 1
        args.append(expand_field_codes("".join(arg)))
    return args


def entry_command(path, search_path=os.defpath):
    """The command a desktop runs for the entry at `path` (an autostart entry at login, an
    application entry chosen from the menu), or None when it skips the entry (switched off,
    or its TryExec program is gone). A TryExec that is not a path is looked up in
    `search_path`, as PATH is."""
    with open(path, encoding="utf-8") as f:
        entry = read_group(f.read())
    if entry.get("Type") != "Application" or entry.get("Hidden") == "true":
        return None
    try_exec = entry.get("TryExec")
    if try_exec is not None:
        program = unescape_string(try_exec)
        if "/" not in program:
            program = shutil.which(program, path=search_path) or ""
        if not (os.path.isfile(program) and os.access(program, os.X_OK)):
            return None
    return split_exec(entry["Exec"])
