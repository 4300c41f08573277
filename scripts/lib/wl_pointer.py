#!/usr/bin/env python3
"""A pointer for a wlroots compositor that has none (a headless sway, say): adds a virtual
pointer device to the default seat over the Wayland socket and moves and clicks it as told,
one command a line on standard input:

    move X Y          put the pointer at X,Y of the output layout
    press BUTTON      BUTTON is left, right or middle
    release BUTTON
    click X Y BUTTON  move, press and release

Speaks the wire protocol itself, so it needs nothing beyond Python. Answers every command
with "ok" once the compositor has handled it (a round trip), so callers can wait for it.
Usage: wl_pointer.py WIDTH HEIGHT (the layout's size, for absolute positions)."""
import os
import socket
import struct
import sys
import time

BUTTONS = {"left": 0x110, "right": 0x111, "middle": 0x112}
MANAGER = "zwlr_virtual_pointer_manager_v1"


class Connection:
    def __init__(self):
        path = os.path.join(os.environ["XDG_RUNTIME_DIR"],
                            os.environ.get("WAYLAND_DISPLAY", "wayland-0"))
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.next_id = 2
        self.buffer = b""
        self.globals = {}

    def new_id(self):
        self.next_id += 1
        return self.next_id - 1

    def send(self, obj, opcode, payload=b""):
        self.sock.sendall(struct.pack("<II", obj, (8 + len(payload)) << 16 | opcode) + payload)

    def events(self):
        while True:
            while len(self.buffer) >= 8:
                obj, word = struct.unpack_from("<II", self.buffer)
                size = word >> 16
                if len(self.buffer) < size:
                    break
                payload, self.buffer = self.buffer[8:size], self.buffer[size:]
                yield obj, word & 0xFFFF, payload
            data = self.sock.recv(4096)
            if not data:
                raise SystemExit("wl_pointer: the compositor closed the connection")
            self.buffer += data

    def roundtrip(self, registry=None):
        callback = self.new_id()
        self.send(1, 0, struct.pack("<I", callback))  # wl_display.sync
        for obj, opcode, payload in self.events():
            if obj == 1 and opcode == 0:  # wl_display.error
                _, code, length = struct.unpack_from("<III", payload)
                raise SystemExit("wl_pointer: protocol error %d: %s"
                                 % (code, payload[12:12 + length - 1].decode()))
            if obj == registry and opcode == 0:  # wl_registry.global
                name, length = struct.unpack_from("<II", payload)
                interface = payload[8:8 + length - 1].decode()
                self.globals[interface] = name
            if obj == callback and opcode == 0:
                return


def string(text):
    data = text.encode() + b"\0"
    return struct.pack("<I", len(data)) + data + b"\0" * (-len(data) % 4)


def main():
    width, height = int(sys.argv[1]), int(sys.argv[2])
    wl = Connection()
    registry = wl.new_id()
    wl.send(1, 1, struct.pack("<I", registry))  # wl_display.get_registry
    wl.roundtrip(registry)
    if MANAGER not in wl.globals:
        raise SystemExit("wl_pointer: the compositor offers no virtual pointers")
    manager = wl.new_id()
    wl.send(registry, 0, struct.pack("<I", wl.globals[MANAGER]) + string(MANAGER)
            + struct.pack("<II", 1, manager))  # wl_registry.bind
    pointer = wl.new_id()
    wl.send(manager, 0, struct.pack("<II", 0, pointer))  # create_virtual_pointer(default seat)
    wl.roundtrip()
    now = lambda: int(time.monotonic() * 1000) & 0xFFFFFFFF

    def move(x, y):
        wl.send(pointer, 1, struct.pack("<IIIII", now(), int(x), int(y), width, height))
        wl.send(pointer, 4)  # frame

    def button(name, state):
        wl.send(pointer, 2, struct.pack("<III", now(), BUTTONS[name], state))
        wl.send(pointer, 4)

    print("ok", flush=True)
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        if words[0] == "move":
            move(words[1], words[2])
        elif words[0] in ("press", "release"):
            button(words[1], 1 if words[0] == "press" else 0)
        elif words[0] == "click":
            move(words[1], words[2])
            wl.roundtrip()
            button(words[3], 1)
            wl.roundtrip()
            button(words[3], 0)
        else:
            print("wl_pointer: unknown command " + words[0], file=sys.stderr)
            continue
        wl.roundtrip()
        print("ok", flush=True)


if __name__ == "__main__":
    main()
