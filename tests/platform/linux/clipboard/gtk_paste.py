# Pastes the CLIPBOARD as a GTK 3 application does, for the clipboard tests: prints the targets
# GTK sees and the text it reads, and writes each target named on the command line to a file of
# the same name (with each '/' as '%') in the directory given first.
#
#   /usr/bin/python3 gtk_paste.py DIR TARGET...
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, Gtk  # noqa: E402

clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)
found, targets = clipboard.wait_for_targets()
print("targets " + " ".join(target.name() for target in targets) if found else "no targets")
print("text " + repr(clipboard.wait_for_text()))
for name in sys.argv[2:]:
    data = clipboard.wait_for_contents(Gdk.Atom.intern(name, False))
    path = os.path.join(sys.argv[1], name.replace("/", "%"))
    with open(path, "wb") as out:
        out.write(data.get_data() if data is not None else b"")
