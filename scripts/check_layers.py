#!/usr/bin/env python3
"""Checks that every #include of the sources runs down the layers, never up or sideways.

The layers, lowest first: platform <- {core, launchctl} <- menubar <- app; the launcher
stands alone. Inside launchctl, its two engines (supervisor/, systemd/) use the shared parts of
launchctl/ and never each other. Only the menu bar may include Qt; libplist, Boost, sd-bus and
nlohmann::json each stay inside the one source that wraps them. Prints each offending include
and exits 1 when there is one. Usage: check_layers.py [REPOSITORY_ROOT]
"""
import os
import re
import sys

# What each folder may include from the repository (its own folder included).
ALLOWED = {
    "platform": {"platform"},
    "core": {"platform", "core"},
    "launchctl": {"platform", "launchctl", "launchctl/supervisor", "launchctl/systemd"},
    "launchctl/supervisor": {"platform", "launchctl", "launchctl/supervisor"},
    "launchctl/systemd": {"platform", "launchctl", "launchctl/systemd"},
    "menubar": {"platform", "core", "menubar"},
    "app": {"platform", "core", "app"},
    "launcher": {"launcher"},
}
QT_ALLOWED = {"menubar"}
# Libraries that only one source may include: the header prefix, and that source.
CONFINED = {
    "plist/": "platform/property_list.cpp",
    "boost/": "core/probe/http_client.cpp",
    "nlohmann/": "core/probe/server_probe.cpp",
    "systemd/": "launchctl/systemd/user_manager.cpp",
}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)
QT_HEADER = re.compile(r"^Q[A-Za-z]+(/|$)")


def folder_of(path):
    """The layer folder that a repository path belongs to, or None."""
    for folder in sorted(ALLOWED, key=len, reverse=True):
        if path == folder or path.startswith(folder + "/"):
            return folder
    return None


def problems(root):
    found = []
    for folder in ALLOWED:
        for base, _, names in os.walk(os.path.join(root, folder)):
            for name in sorted(names):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.relpath(os.path.join(base, name), root)
                if folder_of(path) != folder:
                    continue  # checked with the rules of its own sub-layer
                with open(os.path.join(root, path), encoding="utf-8") as source:
                    text = source.read()
                for bracket, included in INCLUDE.findall(text):
                    if bracket == "<":
                        if QT_HEADER.match(included) and folder not in QT_ALLOWED:
                            found.append(f"{path}: Qt header <{included}> outside the menu bar")
                        for prefix, owner in CONFINED.items():
                            if included.startswith(prefix) and path != owner:
                                found.append(f"{path}: <{included}> belongs to {owner} alone")
                        continue
                    target = folder_of(included)
                    if target is None:
                        found.append(f'{path}: "{included}" is not a path from the repository root')
                    elif target not in ALLOWED[folder]:
                        found.append(f'{path}: "{included}" reaches from {folder}/ into {target}/')
    return found


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    found = problems(os.path.abspath(root))
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
