#!/usr/bin/python3
"""Looks at a private desktop's accessibility bus for the tests, without waking any tree.

  atspi_probe.py registered PID TIMEOUT_MS   exit 0 once the process serves an application on
                                             the bus, 1 when the timeout passes first
  atspi_probe.py enable true|false           switches org.a11y.Status IsEnabled on the session bus

It runs with the desktop's environment (DBUS_SESSION_BUS_ADDRESS).
"""
import sys
import time

from gi.repository import Gio, GLib

REGISTRY = "org.a11y.atspi.Registry"
ROOT = "/org/a11y/atspi/accessible/root"


def session_bus():
    return Gio.bus_get_sync(Gio.BusType.SESSION, None)


def accessibility_bus():
    address = session_bus().call_sync(
        "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None,
        GLib.VariantType("(s)"), Gio.DBusCallFlags.NONE, 2000, None).unpack()[0]
    return Gio.DBusConnection.new_for_address_sync(
        address,
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)


def serves(bus, pid):
    applications = bus.call_sync(REGISTRY, ROOT, "org.a11y.atspi.Accessible", "GetChildren",
                                 None, None, Gio.DBusCallFlags.NONE, 2000, None).unpack()[0]
    for name, _ in applications:
        try:
            owner = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                  "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                  GLib.Variant("(s)", (name,)), None, Gio.DBusCallFlags.NONE,
                                  2000, None).unpack()[0]
        except GLib.Error:
            continue
        if owner == pid:
            return True
    return False


def registered(pid, timeout_ms):
    deadline = time.monotonic() + timeout_ms / 1000
    bus = None
    while time.monotonic() < deadline:
        # On a loaded machine the bus or the registry (started on demand) can be slow to answer.
        try:
            bus = bus or accessibility_bus()
            if serves(bus, pid):
                return 0
        except GLib.Error as error:
            print(error, file=sys.stderr)
        time.sleep(0.05)
    return 1


def enable(on):
    session_bus().call_sync(
        "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
        GLib.Variant("(ssv)", ("org.a11y.Status", "IsEnabled", GLib.Variant("b", on))), None,
        Gio.DBusCallFlags.NONE, 2000, None)
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "registered":
        sys.exit(registered(int(sys.argv[2]), int(sys.argv[3])))
    if len(sys.argv) == 3 and sys.argv[1] == "enable":
        sys.exit(enable(sys.argv[2] == "true"))
    sys.exit(__doc__)
