#!/usr/bin/python3
"""A GTK 3 window with a menu bar, standing in for a meeting client in the Zoom reader's tests.

Usage: menu_app.py REPORT_FILE MENUS_JSON

MENUS_JSON lists the menu bar's menus in order:
  [{"title": "Meeting", "items": [ITEM, ...]}, ...]
where an ITEM is
  {"title": "Copy Invite Link", "copies": ["text", ...], "delayMs": 0, "submenu": [ITEM, ...]}
Activating an item writes each text of "copies" to the clipboard in turn ("delayMs" after the
press and between writes), each write a fresh ownership of the CLIPBOARD selection; an item with
"submenu" opens a submenu instead. A title of null gives an item without a label.

REPORT_FILE receives "ready" once the window is shown, then "pressed TITLE" for each activation,
one line each.
"""
import json
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402


REPORTS = None


def report(line):
    REPORTS.write(line + "\n")
    REPORTS.flush()


def write_texts(texts, delay_ms):
    clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)

    def write_next(index):
        clipboard.set_text(texts[index], -1)
        if index + 1 < len(texts):
            GLib.timeout_add(delay_ms, write_next, index + 1)
        return False

    if texts:
        GLib.timeout_add(delay_ms, write_next, 0)


def build_item(entry):
    item = Gtk.MenuItem(label=entry.get("title") or "")
    if "submenu" in entry:
        item.set_submenu(build_menu(entry["submenu"]))
        return item
    texts = entry.get("copies", [])
    delay = entry.get("delayMs", 0)

    def activated(_):
        report("pressed " + (entry.get("title") or ""))
        write_texts(texts, delay)

    item.connect("activate", activated)
    return item


def build_menu(items):
    menu = Gtk.Menu()
    for entry in items:
        menu.append(build_item(entry))
    return menu


def main():
    global REPORTS
    REPORTS = open(sys.argv[1], "a", encoding="utf-8")
    menus = json.loads(sys.argv[2])
    window = Gtk.Window(title="Meeting")
    window.set_default_size(400, 200)
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
    bar = Gtk.MenuBar()
    for entry in menus:
        top = Gtk.MenuItem(label=entry.get("title") or "")
        if "items" in entry:
            top.set_submenu(build_menu(entry["items"]))
        bar.append(top)
    box.pack_start(bar, False, False, 0)
    window.add(box)
    window.connect("destroy", Gtk.main_quit)
    window.show_all()
    GLib.idle_add(lambda: report("ready") and False)
    Gtk.main()


if __name__ == "__main__":
    main()
