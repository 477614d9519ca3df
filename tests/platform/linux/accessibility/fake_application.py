#!/usr/bin/python3
"""A stand-in application on a private desktop's accessibility bus, serving a tree that a test
describes, and misbehaving on request.

  fake_application.py DESCRIPTION.json

The description (JSON):
  "windows": the application's frames, each a node: {"role": AT-SPI role number, "name": text,
             "attributes": {...}, "text": text, "uri": a link's address, "document": {...}
             document attributes, "children": [nodes]}
  "exitAfter": N   end the process as the N-th request of a client arrives (not answering it)
  "hangAfter": N   stop answering from the N-th request of a client on, staying alive
  "illFormedDirect": DIRECTORY   offer a connection of its own, on a socket in the directory,
                   whose every answer is a text with bytes that are not UTF-8 (libdbus refuses
                   such a message)

Requests of the registry itself (when the application registers) are not counted. It runs with
the desktop's environment.
"""
import json
import os
import socket
import struct
import sys
import threading

from gi.repository import Gio, GLib

ROOT = "/org/a11y/atspi/accessible/root"
PREFIX = "/org/a11y/atspi/accessible/"
ROLE_APPLICATION = 75
STATE_SHOWING, STATE_VISIBLE = 25, 30


class Tree:
    """The nodes by path, with their parents."""

    def __init__(self, windows):
        self.nodes = {ROOT: {"role": ROLE_APPLICATION, "name": "fake", "children": windows}}
        self.parents = {ROOT: None}
        self.children = {}
        self._number(ROOT)

    def _number(self, path):
        paths = []
        for child in self.nodes[path].get("children", []):
            child_path = PREFIX + str(len(self.nodes))
            self.nodes[child_path] = child
            self.parents[child_path] = path
            paths.append(child_path)
        self.children[path] = paths
        for child_path in paths:
            self._number(child_path)


class Application:
    def __init__(self, description):
        self.tree = Tree(description.get("windows", []))
        self.exit_after = description.get("exitAfter")
        self.hang_after = description.get("hangAfter")
        self.direct_address = ""
        if description.get("illFormedDirect"):
            self.direct_address = serve_ill_formed(description["illFormedDirect"])
        self.requests = 0
        self.bus = accessibility_bus()
        self.name = self.bus.get_unique_name()
        self.registry = self.registry_owner()
        self.bus.add_filter(self.filter)

    def registry_owner(self):
        """The registry's unique name, the registry started first (the bus starts it on demand)."""
        for method, arguments in (("StartServiceByName", ("org.a11y.atspi.Registry", 0)),
                                  ("GetNameOwner", ("org.a11y.atspi.Registry",))):
            reply = self.bus.call_sync(
                "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
                GLib.Variant("(su)" if len(arguments) == 2 else "(s)", arguments), None,
                Gio.DBusCallFlags.NONE, 20000, None).unpack()[0]
        return reply

    def register(self):
        self.bus.call_sync("org.a11y.atspi.Registry", ROOT, "org.a11y.atspi.Socket", "Embed",
                           GLib.Variant("((so))", ((self.name, ROOT),)), None,
                           Gio.DBusCallFlags.NONE, 5000, None)

    def reference(self, path):
        return (self.name, path) if path else ("", "/org/a11y/atspi/null")

    def answer(self, interface, member, path, arguments):
        """The reply's body for a request, or None for an unknown one."""
        node = self.tree.nodes.get(path)
        if node is None:
            return None
        if interface == "org.a11y.atspi.Accessible":
            if member == "GetRole":
                return GLib.Variant("(u)", (node.get("role", 0),))
            if member == "GetChildren":
                return GLib.Variant(
                    "(a(so))", ([self.reference(p) for p in self.tree.children[path]],))
            if member == "GetAttributes":
                return GLib.Variant("(a{ss})", (node.get("attributes", {}),))
            if member == "GetState":
                return GLib.Variant("(au)", ([0, (1 << STATE_SHOWING) | (1 << STATE_VISIBLE)],))
        if interface == "org.freedesktop.DBus.Properties" and member == "Get":
            name = arguments[1]
            if name == "Name":
                return GLib.Variant("(v)", (GLib.Variant("s", node.get("name", "")),))
            if name == "Parent":
                parent = self.reference(self.tree.parents[path])
                return GLib.Variant("(v)", (GLib.Variant("(so)", parent),))
            if name == "ChildCount":
                return GLib.Variant("(v)", (GLib.Variant("i", len(self.tree.children[path])),))
        if interface == "org.a11y.atspi.Document" and member == "GetAttributes" and "document" in node:
            return GLib.Variant("(a{ss})", (node["document"],))
        if interface == "org.a11y.atspi.Text" and member == "GetText" and "text" in node:
            return GLib.Variant("(s)", (node["text"],))
        if interface == "org.a11y.atspi.Hyperlink" and member == "GetURI" and "uri" in node:
            return GLib.Variant("(s)", (node["uri"],))
        if interface == "org.a11y.atspi.Action" and member == "DoAction":
            return GLib.Variant("(b)", (True,))
        if interface == "org.a11y.atspi.Application" and member == "GetApplicationBusAddress":
            return GLib.Variant("(s)", (self.direct_address,))
        return None

    def filter(self, connection, message, incoming):
        if not incoming or message.get_message_type() != Gio.DBusMessageType.METHOD_CALL:
            return message
        path = message.get_path() or ""
        if not path.startswith(PREFIX):
            return message
        if message.get_sender() != self.registry:
            self.requests += 1
            if self.exit_after is not None and self.requests >= self.exit_after:
                os._exit(0)
            if self.hang_after is not None and self.requests >= self.hang_after:
                return None
        body = message.get_body()
        arguments = body.unpack() if body is not None else ()
        reply_body = self.answer(message.get_interface(), message.get_member(), path, arguments)
        if reply_body is None:
            reply = message.new_method_error_literal("org.freedesktop.DBus.Error.UnknownMethod",
                                                     "not served")
        else:
            reply = message.new_method_reply()
            reply.set_body(reply_body)
        connection.send_message(reply, Gio.DBusSendMessageFlags.NONE)
        return None


def accessibility_bus():
    session = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    address = session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                                None, GLib.VariantType("(s)"), Gio.DBusCallFlags.NONE, 5000,
                                None).unpack()[0]
    return Gio.DBusConnection.new_for_address_sync(
        address,
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)


def serve_ill_formed(directory):
    """A D-Bus peer, spoken to over a socket in the directory, that answers every call with a text
    holding a byte that is not UTF-8. Gives its address."""
    path = os.path.join(directory, "direct")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(path)
    listener.listen(4)

    def read_line(connection, pending):
        while b"\r\n" not in pending[0]:
            chunk = connection.recv(4096)
            if not chunk:
                raise EOFError
            pending[0] += chunk
        line, pending[0] = pending[0].split(b"\r\n", 1)
        return line

    def pad(length, alignment):
        return (alignment - length % alignment) % alignment

    def serve(connection):
        pending = [b""]
        try:
            connection.recv(1)  # the credentials byte
            while True:
                line = read_line(connection, pending)
                if line.startswith(b"AUTH EXTERNAL"):
                    connection.sendall(b"OK " + b"0" * 32 + b"\r\n")
                elif line.startswith(b"AUTH"):
                    connection.sendall(b"REJECTED EXTERNAL\r\n")
                elif line.startswith(b"NEGOTIATE_UNIX_FD"):
                    connection.sendall(b"ERROR\r\n")
                elif line.startswith(b"BEGIN"):
                    break
            serial = 1
            while True:
                data = pending[0]
                while len(data) < 16:
                    chunk = connection.recv(4096)
                    if not chunk:
                        return
                    data += chunk
                _, _, _, _, body_length, call_serial, fields_length = struct.unpack(
                    "<BBBBIII", data[:16])
                header_length = 16 + fields_length + pad(16 + fields_length, 8)
                while len(data) < header_length + body_length:
                    chunk = connection.recv(4096)
                    if not chunk:
                        return
                    data += chunk
                pending[0] = data[header_length + body_length:]
                text = b"ill\xffformed"
                body = struct.pack("<I", len(text)) + text + b"\0"
                fields = b"\x05\x01u\x00" + struct.pack("<I", call_serial)
                fields += b"\x00" * pad(len(fields), 8) + b"\x08\x01g\x00\x01s\x00"
                header = struct.pack("<BBBBIII", ord("l"), 2, 1, 1, len(body), serial,
                                     len(fields)) + fields
                connection.sendall(header + b"\x00" * pad(len(header), 8) + body)
                serial += 1
        except (EOFError, OSError):
            return

    def accept():
        while True:
            connection, _ = listener.accept()
            threading.Thread(target=serve, args=(connection,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    return "unix:path=" + path


def main():
    with open(sys.argv[1]) as file:
        description = json.load(file)
    application = Application(description)
    application.register()
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
