"""The Nautilus extension under stand-ins for gi: which selections get "Share via Kavo", and
that choosing it starts one `kavo FILE...` with the whole selection."""

import importlib.machinery
import os
import subprocess
import sys
import time
import types
import unittest
from unittest import mock


class Location:
    def __init__(self, path):
        self._path = path

    def get_path(self):
        return self._path


class File:
    def __init__(self, uri):
        self.uri = uri

    def get_uri_scheme(self):
        return self.uri.split(":", 1)[0]

    def get_location(self):
        return Location(self.uri[len("file://"):] if self.uri.startswith("file://") else None)


class MenuItem:
    def __init__(self, name, label, icon):
        self.name, self.label, self.icon = name, label, icon
        self.handlers = []

    def connect(self, signal, handler, *data):
        self.handlers.append((signal, handler, data))

    def activate(self):
        for signal, handler, data in self.handlers:
            if signal == "activate":
                handler(self, *data)


def load_extension(path, versions_known):
    gi = types.ModuleType("gi")

    def require_version(name, version):
        if version not in versions_known:
            raise ValueError(f"Namespace {name} not available for version {version}")

    gi.require_version = require_version
    repository = types.ModuleType("gi.repository")
    repository.GObject = types.SimpleNamespace(GObject=type("GObject", (), {}))
    repository.Nautilus = types.SimpleNamespace(MenuProvider=type("MenuProvider", (), {}), MenuItem=MenuItem)
    gi.repository = repository
    with mock.patch.dict(sys.modules, {"gi": gi, "gi.repository": repository}):
        loader = importlib.machinery.SourceFileLoader("kavo_nautilus", path)
        module = types.ModuleType(loader.name)
        module.__file__ = path
        loader.exec_module(module)
    return module


class NautilusExtension(unittest.TestCase):
    path = sys.argv.pop(1) if len(sys.argv) > 1 else "app/shell/filemanagers/kavo-nautilus.py"

    def test_a_local_selection_goes_to_one_kavo(self):
        for versions in (["4.0"], ["3.0"]):
            extension = load_extension(self.path, versions)
            menu = extension.KavoShareMenu()
            files = [File("file:///home/ann/a b.pdf"), File("file:///home/ann/Holiday")]
            # Nautilus 43+ passes the files alone, older versions the window first.
            items = menu.get_file_items(files) if versions == ["4.0"] else menu.get_file_items(object(), files)
            self.assertEqual([item.label for item in items], ["Share via Kavo"])
            with mock.patch.object(extension.subprocess, "Popen") as popen:
                items[0].activate()
            popen.assert_called_once()
            self.assertEqual(popen.call_args.args[0], [extension.KAVO, "/home/ann/a b.pdf", "/home/ann/Holiday"])

    def test_the_started_kavo_is_reaped(self):
        extension = load_extension(self.path, ["4.0"])
        extension.KAVO = "/bin/true"
        menu = extension.KavoShareMenu()
        started = []
        real_popen = subprocess.Popen

        def popen(*args, **kwargs):
            started.append(real_popen(*args, **kwargs))
            return started[-1]

        with mock.patch.object(extension.subprocess, "Popen", popen):
            menu.get_file_items([File("file:///tmp/a.txt")])[0].activate()
        pid = started[0].pid
        # A finished child that nobody waited for stays in the process table as a zombie (Z).
        deadline = time.monotonic() + 5
        while os.path.exists(f"/proc/{pid}") and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertFalse(os.path.exists(f"/proc/{pid}"), "the finished kavo was left as a zombie")

    def test_no_entry_for_remote_or_empty_selections(self):
        extension = load_extension(self.path, ["4.0"])
        menu = extension.KavoShareMenu()
        self.assertEqual(menu.get_file_items([]), [])
        self.assertEqual(menu.get_file_items([File("file:///a.txt"), File("sftp://host/b.txt")]), [])


if __name__ == "__main__":
    unittest.main()
