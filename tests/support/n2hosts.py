"""Installations of the plug-in for tests that run our host under Wine.

A sandbox is a folder holding a copy of N2VelmEn.dll with its settings file
beside it, and a data folder with the address book. `Sandbox.run` starts
n2host.exe on it with a list of commands (see host/main.cpp) and returns what
the host printed; message boxes are answered and show up as "box: ..." lines.
"""

import os
import shutil
import subprocess

SOURCE_DIR = os.environ.get("N2_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
BINARY_DIR = os.environ.get("N2_BINARY_DIR", os.path.join(SOURCE_DIR, "build", "win"))
BIN = os.path.join(BINARY_DIR, "bin")
WINE_RUN = os.path.join(SOURCE_DIR, "scripts", "wine-run.sh")


def winpath(path):
    """A Linux path as Wine shows it on drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def fixture_port(servers, name):
    with open(os.path.join(BINARY_DIR, servers, name, "port")) as f:
        return int(f.read().strip())


def settings_text(kind, server, path, user="n2user", password="n2pass", upload=0, auto=0, start=0, close=0):
    """The settings file of an installation: kind 0 is FTP, 1 HTTP."""
    return ("[Setup]\r\nUserName=%s\r\nPasswd=%s\r\nChkUpload=%d\r\nChkAuto=%d\r\nChkStart=%d\r\nChkClose=%d\r\n\r\n"
            "[Server]\r\nType=%d\r\nChkPassive=1\r\nServerName=%s\r\nPath=%s\r\n\r\n"
            % (user, password, upload, auto, start, close, kind, server, path))


class Sandbox:
    """One installation: plugin_dir/N2VelmEn.dll with its .ini, and data_dir/AddrBook."""

    def __init__(self, plugin_dir, data_dir, settings, env=None):
        self.plugin_dir = plugin_dir
        self.data_dir = data_dir
        self.book = os.path.join(data_dir, "AddrBook")
        self.env = dict(os.environ, **(env or {}))
        os.makedirs(self.book, exist_ok=True)
        os.makedirs(plugin_dir, exist_ok=True)
        shutil.copy(os.path.join(BIN, "N2VelmEn.dll"), plugin_dir)
        self.write_settings(settings)

    def write_settings(self, settings):
        with open(os.path.join(self.plugin_dir, "N2VelmEn.ini"), "w", newline="") as f:
            f.write(settings)

    def run(self, *commands, timeout=300):
        args = [WINE_RUN, os.path.join(BIN, "n2host.exe"), "--answer-boxes", "--version", "2.00.06",
                "--data", winpath(self.data_dir) + "\\", "--plugin",
                winpath(os.path.join(self.plugin_dir, "N2VelmEn.dll"))] + list(commands)
        done = subprocess.run(args, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              timeout=timeout)
        return done.stdout.decode("cp932", "replace").replace("\r", "")


def read_tree(folder):
    """Relative path -> bytes of every file below folder; folders map to None."""
    tree = {}
    for parent, folders, files in os.walk(folder):
        for name in folders:
            tree[os.path.relpath(os.path.join(parent, name), folder) + "/"] = None
        for name in files:
            path = os.path.join(parent, name)
            with open(path, "rb") as f:
                tree[os.path.relpath(path, folder)] = f.read()
    return tree


def write_tree(folder, tree):
    for name, content in tree.items():
        path = os.path.join(folder, name)
        if content is None:
            os.makedirs(path, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(content)


def card(who):
    return ("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:%s\r\nEMAIL:%s@example.com\r\nEND:VCARD\r\n" % (who, who)).encode()
