"""Nautilus: "Share via Kavo" in the menu of selected files and folders.

The selection goes to `kavo FILE...` as one drop: a single file is uploaded as it is, several
files or a folder as one zip.
"""

import subprocess
import threading

import gi

try:
    gi.require_version("Nautilus", "4.0")
except ValueError:
    gi.require_version("Nautilus", "3.0")
from gi.repository import GObject, Nautilus  # noqa: E402

# Written at install time: the installed kavo, which need not be on Nautilus' PATH.
KAVO = "@KAVO_BINDIR@/kavo"
if KAVO.startswith("@"):
    KAVO = "kavo"  # the source file itself, not installed


class KavoShareMenu(GObject.GObject, Nautilus.MenuProvider):
    def _share(self, _item, files):
        paths = [f.get_location().get_path() for f in files]
        paths = [p for p in paths if p]
        if paths:
            # `kavo FILE...` returns once Kavo has the files; it is waited for (on a thread, so
            # that Nautilus never blocks) so that no finished child stays behind as a zombie.
            child = subprocess.Popen([KAVO, *paths], stdin=subprocess.DEVNULL)
            threading.Thread(target=child.wait, daemon=True).start()

    # Nautilus 43 and later pass the files alone; older versions pass the window first.
    def get_file_items(self, *args):
        files = args[-1]
        if not files or any(f.get_uri_scheme() != "file" for f in files):
            return []
        item = Nautilus.MenuItem(name="KavoShareMenu::Share", label="Share via Kavo", icon="kavo")
        item.connect("activate", self._share, files)
        return [item]
