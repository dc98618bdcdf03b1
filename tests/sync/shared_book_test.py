"""Several installations share one book through a real FTP server (pyftpdlib)
and a real web server (nginx), each one our host with its own copy of the
plug-in and data folder: no job undoes an edit made elsewhere.
"""

import itertools
import os
import shutil
import sys
import tempfile
import threading
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import n2hosts  # noqa: E402
from n2hosts import card  # noqa: E402

ROUNDS = 5


def edited(content, line):
    """A card with one more line before its end."""
    return content.replace(b"END:VCARD", line.encode() + b"\r\nEND:VCARD")


class SharedBook:
    """The cases; a subclass says which server they run against."""

    KIND = None

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="n2-shared-", dir=n2hosts.BINARY_DIR)
        self.folder = os.path.basename(self.work)
        self.server_folder = os.path.join(self.server_root(), self.folder)
        os.makedirs(self.server_folder)
        self.archive = os.path.join(self.server_folder, "N2AddBook.zip")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)
        shutil.rmtree(self.server_folder, ignore_errors=True)

    def host(self, name, **flags):
        settings = n2hosts.settings_text(self.KIND, self.server(), self.server_path(), **flags)
        return n2hosts.Sandbox(os.path.join(self.work, name), os.path.join(self.work, name, "Data"), settings)

    def run_host(self, host, *commands, conflicts=0):
        """Runs the commands; the only boxes shown must be the conflicts box
        of conflicts jobs."""
        out = host.run("--times", *commands)
        shown = [line for line in out.splitlines() if line.startswith("box:")]
        self.assertEqual(len(shown), conflicts, out)
        for line in shown:
            self.assertRegex(line, r"^box: Norvel2 plug-in Velmora\\r\\n.*N2Conflicts")
        for command in commands:
            if command in ("upload", "download", "clear"):
                self.assertIn(command + ": done", out)
        return out

    def server_book(self):
        with zipfile.ZipFile(self.archive) as z:
            return {i.filename[len("AddrBook/"):]: z.read(i) for i in z.infolist() if not i.is_dir()}

    def cards(self, host):
        return {n: c for n, c in n2hosts.read_tree(host.book).items() if c is not None}

    def stamp(self, path):
        st = os.stat(path)
        return st.st_mtime_ns, st.st_ino

    def test_concurrent_edits_of_different_cards_all_arrive(self):
        names = ["x", "y", "z"]
        hosts = {n: self.host(n) for n in names}
        first = hosts["x"]
        n2hosts.write_tree(first.book, {n + ".vcf": card(n) for n in names})
        self.run_host(first, "start", "upload", "exit")
        for n in names[1:]:
            self.run_host(hosts[n], "start", "download", "exit")

        windows = []  # (begin, end, name) of every upload
        lock = threading.Lock()
        failures = []

        def edit_rounds(name):
            host = hosts[name]
            try:
                for r in range(1, ROUNDS + 1):
                    path = os.path.join(host.book, name + ".vcf")
                    with open(path, "rb") as f:
                        content = f.read()
                    with open(path, "wb") as f:
                        f.write(edited(content, "NOTE:edit %d by %s" % (r, name)))
                    out = host.run("--times", "start", "upload", "download", "exit")
                    line = [x for x in out.splitlines() if x.startswith("upload: done")]
                    if "box:" in out or len(line) != 1 or "download: done" not in out:
                        failures.append(out)
                        return
                    begin, end = map(int, line[0].split()[2:4])
                    with lock:
                        windows.append((begin, end, name))
            except Exception as e:  # reported below
                failures.append(repr(e))

        threads = [threading.Thread(target=edit_rounds, args=(n,)) for n in names]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(failures, [])
        # Each downloads (an upload follows when the server held a stale copy
        # of one of its cards), then each downloads once more.
        for _ in range(2):
            for n in names:
                self.run_host(hosts[n], "start", "download", "exit")

        overlaps = sum(1 for a, b in itertools.combinations(windows, 2)
                       if a[2] != b[2] and a[0] < b[1] and b[0] < a[1])
        server = self.server_book()
        arrived = sum(server[n + ".vcf"].count(b"NOTE:edit") for n in names)
        lost = len(names) * ROUNDS - arrived
        print("%s: %d edits, %d arrived, %d uploads overlapped in time, %d edits lost"
              % (type(self).__name__, len(names) * ROUNDS, arrived, overlaps, lost))
        self.assertEqual(lost, 0)
        for n in names:
            self.assertEqual(self.cards(hosts[n]), server)

    def test_downloads_change_only_what_the_server_changed(self):
        a, b = self.host("a"), self.host("b", close=1)
        book = {"a.vcf": card("Ann"), "b.vcf": card("Bob"), "sub/c.vcf": card("Cy")}
        n2hosts.write_tree(a.book, book)
        self.run_host(a, "start", "upload", "exit")
        self.run_host(b, "start", "download", "exit")
        # Equal to the local book: no file is written, and the shutdown upload sends nothing.
        files = {n: self.stamp(os.path.join(b.book, n)) for n in book}
        server = self.stamp(self.archive)
        self.run_host(b, "start", "download", "exit")
        self.assertEqual({n: self.stamp(os.path.join(b.book, n)) for n in book}, files)
        self.assertEqual(self.stamp(self.archive), server)

        # A true conflict: both changed the card. The local one stays, the
        # server's is saved below the data folder, outside the book.
        with open(os.path.join(a.book, "a.vcf"), "wb") as f:
            f.write(card("Ann of A"))
        self.run_host(a, "start", "upload", "exit")
        with open(os.path.join(b.book, "a.vcf"), "wb") as f:
            f.write(card("Ann of B"))
        b.write_settings(n2hosts.settings_text(self.KIND, self.server(), self.server_path()))
        self.run_host(b, "start", "download", "exit", conflicts=1)
        self.assertEqual(self.cards(b)["a.vcf"], card("Ann of B"))
        copies = n2hosts.read_tree(os.path.join(b.data_dir, "N2Conflicts"))
        self.assertEqual([c for n, c in copies.items() if n.endswith("AddrBook/a.vcf")], [card("Ann of A")])

        # Cards the shared book made read-only, hidden or system come down twice without an error.
        with zipfile.ZipFile(self.archive, "w", zipfile.ZIP_DEFLATED) as z:
            for name, attributes in (("ro.vcf", 0x21), ("hidden.vcf", 0x22), ("system.vcf", 0x24)):
                info = zipfile.ZipInfo("AddrBook/" + name)
                info.external_attr = attributes
                info.compress_type = zipfile.ZIP_DEFLATED
                z.writestr(info, card(name))
        for _ in range(2):
            self.run_host(b, "start", "download", "exit")
        for name in ("ro.vcf", "hidden.vcf", "system.vcf"):
            self.assertEqual(self.cards(b)[name], card(name))
        self.assertEqual(os.stat(os.path.join(b.book, "ro.vcf")).st_mode & 0o222, 0)  # read-only

    def test_uploads_merge_the_servers_news_first(self):
        a, b = self.host("a", close=1), self.host("b")
        n2hosts.write_tree(a.book, {"a.vcf": card("Ann"), "b.vcf": card("Bob")})
        self.run_host(a, "start", "upload", "exit")
        self.run_host(b, "start", "download", "exit")
        # The stale case: A changes nothing, B edits and uploads, A quits with an upload at shutdown.
        with open(os.path.join(b.book, "b.vcf"), "wb") as f:
            f.write(card("Bob of B"))
        self.run_host(b, "start", "upload", "exit")
        self.run_host(a, "start", "exit")
        self.assertEqual(self.server_book()["b.vcf"], card("Bob of B"))
        self.run_host(a, "start", "download", "exit")
        self.assertEqual(self.cards(a)["b.vcf"], card("Bob of B"))

        # A card the server lacks is uploaded, with the server's news merged in first.
        with open(os.path.join(a.book, "new.vcf"), "wb") as f:
            f.write(card("Ned"))
        with open(os.path.join(b.book, "a.vcf"), "wb") as f:
            f.write(card("Ann of B"))
        self.run_host(b, "start", "upload", "exit")
        self.run_host(a, "start", "exit")
        self.assertEqual(self.server_book(), {"a.vcf": card("Ann of B"), "b.vcf": card("Bob of B"),
                                              "new.vcf": card("Ned")})
        self.assertEqual(self.cards(a), self.server_book())

        # "Upload Now" with nothing changed still uploads.
        before = self.stamp(self.archive)
        self.run_host(b, "start", "download", "upload", "exit")
        self.assertNotEqual(self.stamp(self.archive), before)
        # A card deleted here while the server's copy is the agreed one comes
        # back with the upload's merge: a deletion is not shared.
        os.remove(os.path.join(b.book, "new.vcf"))
        self.run_host(b, "start", "upload", "exit")
        self.assertEqual(self.cards(b)["new.vcf"], card("Ned"))
        self.assertEqual(self.server_book()["new.vcf"], card("Ned"))

    def test_the_record_survives_a_restart_and_a_damaged_one_means_a_first_contact(self):
        a, b = self.host("a"), self.host("b", close=1)
        n2hosts.write_tree(a.book, {"a.vcf": card("Ann")})
        self.run_host(a, "start", "upload", "exit")
        self.run_host(b, "start", "download", "exit")
        # A restart of B: its shutdown upload knows nothing is new.
        server = self.stamp(self.archive)
        self.run_host(b, "start", "exit")
        self.assertEqual(self.stamp(self.archive), server)
        # A damaged record agrees on nothing: B meets the server's book as for
        # the first time. Its shutdown upload merges it, finds the server holds
        # this very book and sends nothing.
        with open(os.path.join(b.data_dir, "N2AddBook.agreed"), "r+b") as f:
            f.seek(3)
            f.write(b"#")
        self.run_host(b, "start", "exit")
        self.assertEqual(self.stamp(self.archive), server)
        # Without a record, a local edit of a card the server holds too is
        # kept as a conflict copy, and the office's version stays in the book.
        with open(os.path.join(b.data_dir, "N2AddBook.agreed"), "wb") as f:
            f.write(b"")
        with open(os.path.join(b.book, "a.vcf"), "wb") as f:
            f.write(card("Ann of B"))
        b.write_settings(n2hosts.settings_text(self.KIND, self.server(), self.server_path()))
        self.run_host(b, "start", "download", "exit", conflicts=1)
        self.assertEqual(self.cards(b)["a.vcf"], card("Ann"))
        copies = n2hosts.read_tree(os.path.join(b.data_dir, "N2Conflicts"))
        self.assertEqual([c for n, c in copies.items() if n.endswith("AddrBook/a.vcf")], [card("Ann of B")])


class OverFtp(SharedBook, unittest.TestCase):
    KIND = 0

    def server(self):
        return "127.0.0.1:%d" % n2hosts.fixture_port("ftp-servers", "real")

    def server_root(self):
        return os.path.join(n2hosts.BINARY_DIR, "ftp-servers", "root")

    def server_path(self):
        return "/%s/" % self.folder


class OverHttp(SharedBook, unittest.TestCase):
    KIND = 1

    def server(self):
        return "127.0.0.1:%d" % n2hosts.fixture_port("http-servers", "nginx")

    def server_root(self):
        return os.path.join(n2hosts.BINARY_DIR, "http-servers", "nginx", "www", "dav")

    def server_path(self):
        return "/dav/%s/" % self.folder


if __name__ == "__main__":
    unittest.main()
