"""Faults met by installations of our host under Wine, against real servers:
the server killed in the middle of a transfer, a full disk, a card held open
by another program or gone before it is read, a settings file or folder that
cannot be written; and three hosts sharing one book for twenty rounds.

Every faulty job must end within the client's time limit, show the job's box
with a clear reason, and leave every card of the book as it was. The servers
of the fault cases are started here (they are killed); slow transfers come
from the servers' own rate limits (pyftpdlib, vsftpd, nginx) or, for uploads
to nginx, from a relay in front of it, so that a test can wait for a transfer
to be under way before it strikes.
"""

import base64
import contextlib
import io
import itertools
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import n2hosts  # noqa: E402
from n2hosts import card  # noqa: E402

NET = os.path.join(n2hosts.SOURCE_DIR, "tests", "net")
RATE = 64 * 1024  # bytes a second of a slow transfer

UPLOAD_FTP = "Norvel2 plug-in Velmora FtpUpload Address Book Upload Error!\\r\\nPlease try again.\\r\\n"
DOWNLOAD_FTP = "Norvel2 plug-in Velmora FtpDownload Address Book Download Error!\\r\\nPlease try again.\\r\\n"
UPLOAD_HTTP = "Norvel2 plug-in Velmora HttpUpload Address Book Upload Error!\\r\\nPlease try again.\\r\\n"
DOWNLOAD_HTTP = "Norvel2 plug-in Velmora HttpDownload Address Book Download Error!\\r\\nPlease try again.\\r\\n"
COMPRESS = "Norvel2 plug-in Velmora Address Book Compress Error!\\r\\nPlease try again.\\r\\n"
EXTRACT = "Norvel2 plug-in Velmora Address Book Extract Error!\\r\\nPlease try again.\\r\\n"


def photo_card(who, size, seed):
    """A card with a photo: size bytes of Base64 that compress little."""
    photo = base64.b64encode(random.Random(seed).randbytes(size * 3 // 4)).decode()
    return ("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:%s\r\nPHOTO;ENCODING=b;TYPE=JPEG:%s\r\nEND:VCARD\r\n"
            % (who, photo)).encode()


def wait_until(condition, limit=60.0):
    """Polls condition until it holds; false when limit seconds pass."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.01)
    return False


def file_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def boxes(output):
    return [line[5:] for line in output.splitlines() if line.startswith("box: ")]


def job_milliseconds(output, command):
    """How long the job of command took (--times)."""
    line = [x for x in output.splitlines() if x.startswith(command + ": done ")][0]
    begin, end = map(int, line.split()[2:4])
    return end - begin


def descendants(pid):
    """The processes started by pid, and theirs."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            with contextlib.suppress(OSError):
                with open("/proc/%s/stat" % entry) as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
                children.setdefault(parent, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


class Server:
    """A server of our own, started by the test servers' scripts in a
    session of its own, so that killing its process group kills it whole."""

    def __init__(self, script, mode, state_dir, *options):
        self.script, self.mode, self.state_dir, self.options = script, mode, state_dir, options
        self.start()

    def start(self):
        out = subprocess.run(["/usr/bin/python3", os.path.join(NET, self.script), self.mode,
                              "--state-dir", self.state_dir, "--lifetime", "900"] + list(self.options),
                             stdout=subprocess.PIPE, check=True, timeout=30)
        self.port = int(out.stdout.split()[-1])
        with open(os.path.join(self.state_dir, "pid")) as f:
            self.pid = int(f.read())

    def kill(self):
        """The server's processes die at once, as in a crash: all of them,
        for vsftpd runs each session in a session of its own."""
        for pid in [self.pid] + descendants(self.pid):
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(self.state_dir, "pid"))

    def restart(self):
        self.kill()
        self.start()

    def stop(self):
        subprocess.run(["/usr/bin/python3", os.path.join(NET, self.script), "stop", "--state-dir", self.state_dir],
                       timeout=30)
        self.kill()


class Relay:
    """A TCP relay in front of a server that counts the bytes passing each way
    and can slow down the client's. When the server's side breaks, the
    client's connection is reset, as the server's death would reset it; when
    the server closes, the client sees the close."""

    def __init__(self, upstream_port):
        self.upstream_port = upstream_port
        self.up_rate = 0
        self.passed = {"up": 0, "down": 0}
        self.changed = threading.Condition()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def reset_counts(self, up_rate=0):
        with self.changed:
            self.up_rate = up_rate
            self.passed = {"up": 0, "down": 0}

    def wait_passed(self, way, count, limit=60.0):
        with self.changed:
            return self.changed.wait_for(lambda: self.passed[way] >= count, limit)

    def serve(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            try:
                server = socket.create_connection(("127.0.0.1", self.upstream_port))
            except OSError:
                client.close()
                continue
            threading.Thread(target=self.pump, args=(client, server, "up"), daemon=True).start()
            threading.Thread(target=self.pump, args=(server, client, "down"), daemon=True).start()

    @staticmethod
    def reset(sock):
        with contextlib.suppress(OSError):
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            sock.close()

    def pump(self, source, sink, way):
        rate = self.up_rate if way == "up" else 0
        while True:
            try:
                data = source.recv(4096 if rate else 65536)
            except OSError:  # reset: so is the other side
                self.reset(sink)
                return
            if not data:  # closed: the other side sees the close
                with contextlib.suppress(OSError):
                    sink.shutdown(socket.SHUT_WR)
                return
            try:
                sink.sendall(data)
            except OSError:
                self.reset(source)
                return
            with self.changed:
                self.passed[way] += len(data)
                self.changed.notify_all()
            if rate:
                time.sleep(len(data) / rate)

    def close(self):
        self.listener.close()


@contextlib.contextmanager
def held_open(path, others_may_read=False):
    """Another Windows program holds path open without sharing it (but for
    reading, if others_may_read)."""
    holder = subprocess.Popen([n2hosts.WINE_RUN, os.path.join(n2hosts.BIN, "hold_file.exe"), n2hosts.winpath(path)]
                              + (["read"] if others_may_read else []),
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        line = holder.stdout.readline().decode().strip()
        if line != "held":
            raise AssertionError("the holder could not open %s: %s" % (path, line))
        yield
    finally:
        with contextlib.suppress(OSError):
            holder.stdin.write(b"\n")
            holder.stdin.close()
        holder.wait(60)


@contextlib.contextmanager
def small_disk(folder, kilobytes):
    """folder becomes a file system of its own with room for kilobytes."""
    os.makedirs(folder, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk" % kilobytes, "tmpfs", folder], check=True)
    try:
        yield
    finally:
        subprocess.run(["umount", "-l", folder], check=True)


@contextlib.contextmanager
def immutable(path):
    """chattr +i: not even root may change the folder's entries."""
    subprocess.run(["chattr", "+i", path], check=True)
    try:
        yield
    finally:
        subprocess.run(["chattr", "-i", path], check=True)


def fill(folder, leave_kilobytes):
    """Takes the room of a small disk but leave_kilobytes."""
    st = os.statvfs(folder)
    free = st.f_bavail * st.f_frsize
    with open(os.path.join(folder, "filler.bin"), "wb") as f:
        f.write(b"\0" * max(0, free - leave_kilobytes * 1024))


def valid_card(name, content):
    """A card as the hosts of the shared run write it: the owner's card with
    the owner's edits, in order, each a whole line."""
    owner = name[:-len(".vcf")]
    head, end = card(owner)[:-len(b"END:VCARD\r\n")], b"END:VCARD\r\n"
    if not content.startswith(head) or not content.endswith(end):
        return False
    notes = content[len(head):-len(end)].decode(errors="replace").split("\r\n")[:-1]
    rounds = [int(m.group(1)) for m in (re.fullmatch(r"NOTE:edit (\d+) by " + owner, n) for n in notes) if m]
    return len(rounds) == len(notes) and rounds == sorted(set(rounds))


class Faults:
    """The cases, and the shared run; a subclass says which servers they
    run against and how a test sees a transfer under way."""

    KIND = None

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="n2-faults-", dir=n2hosts.BINARY_DIR)
        os.chmod(cls.work, 0o755)
        cls.servers = {}

    @classmethod
    def tearDownClass(cls):
        for server in cls.servers.values():
            server.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        self.case = tempfile.mkdtemp(prefix="case-", dir=self.work)
        os.chmod(self.case, 0o755)

    # ---- installations and servers --------------------------------------

    def settings(self, server, **flags):
        text = n2hosts.settings_text(self.KIND, self.address(server), self.server_path(server), **flags)
        return text.replace("UserName=n2user", "UserName=" + self.user(server))

    def host(self, name, server, data_dir=None, **flags):
        self.server_folder(server)
        return n2hosts.Sandbox(os.path.join(self.case, name), data_dir or os.path.join(self.case, name, "Data"),
                               self.settings(server, **flags))

    def user(self, server):
        return "n2user"

    def server_path(self, server):
        return "/%s/" % os.path.basename(self.case)

    def server_folder(self, server):
        """The folder of the shared book on the server."""
        folder = os.path.join(self.server_root(server), os.path.basename(self.case))
        os.makedirs(folder, exist_ok=True)
        self.give_to_server(folder)
        return folder

    def give_to_server(self, path):
        pass

    @staticmethod
    def archive_of(book):
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("AddrBook/", b"")
            for n, content in book.items():
                z.writestr("AddrBook/" + n, content)
        return out.getvalue()

    def put_book(self, server, book):
        """Puts an archive of book on the server, as another installation would."""
        path = os.path.join(self.server_folder(server), "N2AddBook.zip")
        with open(path, "wb") as f:
            f.write(self.archive_of(book))
        self.give_to_server(path)

    def server_book(self, server):
        with zipfile.ZipFile(os.path.join(self.server_folder(server), "N2AddBook.zip")) as z:
            return {i.filename[len("AddrBook/"):]: z.read(i) for i in z.infolist() if not i.is_dir()}

    def cards(self, host):
        return {n: c for n, c in n2hosts.read_tree(host.book).items() if c is not None}

    def record(self, host):
        path = os.path.join(host.data_dir, "N2AddBook.agreed")
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def run_with(self, host, command, strike=None):
        """Runs start, command, exit on host while strike (if any) runs beside
        it; checks that the job ended within the client's time limit and
        returns the boxes shown."""
        failures = []

        def guarded():
            try:
                strike()
            except Exception as e:  # reported below
                failures.append(e)
        thread = threading.Thread(target=guarded) if strike else None
        if thread:
            thread.start()
        try:
            out = host.run("--times", "start", command, "exit", timeout=180)
        finally:
            if thread:
                thread.join(120)
        self.assertEqual(failures, [])
        self.assertIn(command + ": done", out)
        self.assertLess(job_milliseconds(out, command), self.LIMIT_MS, out)
        return boxes(out)

    def note_paths(self, host):
        """The paths the expected boxes name."""
        data = n2hosts.winpath(host.data_dir)
        self.paths = {"data": data, "archive": data + "\\N2AddBook.zip", "book": data + "\\AddrBook",
                      "fetch": data + "\\~N2Fetch.zip", "pack": data + "\\~N2Pack.zip",
                      "ini": n2hosts.winpath(os.path.join(host.plugin_dir, "N2VelmEn.ini"))}

    # ---- the cases ----------------------------------------------------------

    BOOK = {"a.vcf": card("Ann"), "b.vcf": card("Bob"), "photo.vcf": photo_card("Pat", 256 * 1024, 1)}

    def killed_during_upload(self, server):
        host = self.host("h", server)
        self.note_paths(host)
        n2hosts.write_tree(host.book, self.BOOK)
        self.prepare_transfer(server, upload=True)

        def strike():
            self.assertTrue(self.upload_under_way(server))
            self.servers[server].kill()
        shown = self.run_with(host, "upload", strike)
        self.assertEqual(self.cards(host), self.BOOK)
        self.assertIsNone(self.record(host))  # nothing was agreed with the server
        self.restart(server)
        host.write_settings(self.settings(server))
        archive = os.path.join(self.server_folder(server), "N2AddBook.zip")
        if os.path.exists(archive):
            # The server kept the part it had: an upload never sends over a
            # book it cannot read whole. Once the server's book is cleared,
            # the next upload sends the whole book.
            self.assertEqual(self.run_with(host, "upload"), [self.INCOMPLETE_UPLOAD])
            self.assertEqual(self.run_with(host, "clear"), [])
        self.assertEqual(self.run_with(host, "upload"), [])
        self.assertEqual(self.server_book(server), self.BOOK)
        return shown

    def killed_during_download(self, server):
        host = self.host("h", server)
        self.note_paths(host)
        local = {"a.vcf": card("Ann"), "b.vcf": card("Bob")}
        n2hosts.write_tree(host.book, local)
        self.put_book(server, dict(self.BOOK, **{"b.vcf": card("Bob of the server")}))
        self.prepare_transfer(server, upload=False)

        def strike():
            self.assertTrue(self.download_under_way(server, host))
            self.servers[server].kill()
        shown = self.run_with(host, "download", strike)
        self.assertEqual(self.cards(host), local)
        self.restart(server)
        return shown

    def download_during_upload(self, server):
        """Host B downloads while host A's upload of a large book is under
        way, on a server that does not lock a file being uploaded: B takes
        the book as it was before, whole, and its next download A's book."""
        a, b = self.host("a", server), self.host("b", server)
        earlier = {"a.vcf": card("Ann"), "b.vcf": card("Bob")}
        self.put_book(server, earlier)
        self.assertEqual(self.run_with(a, "download"), [])
        new = dict(earlier, **{"b.vcf": card("Bob 2")},
                   **{"p%d.vcf" % i: photo_card("P%d" % i, 160 * 1024, i) for i in range(3)})
        n2hosts.write_tree(a.book, new)
        seen = {}

        def strike():
            self.assertTrue(self.upload_under_way(server))
            seen["shown"] = self.run_with(b, "download")
            seen["cards"] = self.cards(b)
            seen["server"] = self.server_book(server)  # A's upload has not ended yet
        self.assertEqual(self.run_with(a, "upload", strike), [])
        self.assertEqual(seen, {"shown": [], "cards": earlier, "server": earlier})
        self.assertEqual(self.run_with(b, "download"), [])
        self.assertEqual(self.cards(b), new)
        return seen["shown"]

    def download_during_upload_in_place(self, server):
        """An installation of the earlier kind writes the archive in place,
        slowly: a download meanwhile meets it cut short, shows no box, takes
        nothing, fetches it again and takes it once it is whole."""
        b = self.host("b", server)
        earlier = {"a.vcf": card("Ann"), "b.vcf": card("Bob")}
        self.put_book(server, earlier)
        self.assertEqual(self.run_with(b, "download"), [])
        new = {"a.vcf": card("Ann 2"), "b.vcf": card("Bob 2"), "p.vcf": photo_card("Pat", 48 * 1024, 3)}
        data = self.archive_of(new)
        piece = len(data) // 8 + 1
        seen = {}
        with open(os.path.join(self.server_folder(server), "N2AddBook.zip"), "r+b") as archive:
            archive.truncate()
            archive.write(data[:piece])
            archive.flush()

            def writer():
                # The other pieces over about four seconds once B fetches:
                # within the half minute over which B fetches again.
                self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(b.data_dir, "~N2Fetch.zip"))))
                for i in range(piece, len(data), piece):
                    time.sleep(0.6)
                    if i + piece >= len(data):
                        seen["cards before the last piece"] = self.cards(b)
                    archive.write(data[i:i + piece])
                    archive.flush()
            shown = self.run_with(b, "download", writer)
        self.assertEqual(seen, {"cards before the last piece": earlier})
        self.assertEqual(self.cards(b), new)
        return shown

    def full_disk_during_download(self, server):
        data = os.path.join(self.case, "data")
        with small_disk(data, 1024):
            host = self.host("h", server, data)
            self.note_paths(host)
            local = {"a.vcf": card("Ann"), "b.vcf": card("Bob")}
            n2hosts.write_tree(host.book, local)
            self.put_book(server, dict(self.BOOK, **{"b.vcf": card("Bob of the server")}))
            fill(data, 96)
            shown = self.run_with(host, "download")
            self.assertEqual(self.cards(host), local)
        return shown

    def full_disk_during_unpacking(self, server):
        data = os.path.join(self.case, "data")
        with small_disk(data, 1024):
            host = self.host("h", server, data)
            self.note_paths(host)
            local = {"a.vcf": card("Ann"), "b.vcf": card("Bob"), "c.vcf": card("Cy")}
            n2hosts.write_tree(host.book, local)
            # The archive fits, the large card it holds does not: it compresses well.
            big = card("Bob") + b"NOTE:" + b"x" * (600 * 1024) + b"\r\n"
            server_book = {"a.vcf": card("Ann"), "b.vcf": big, "c.vcf": card("Cy")}
            self.put_book(server, server_book)
            fill(data, 300)
            shown = self.run_with(host, "download")
            # The large card stays as it was; each other card is whole, old or new.
            cards = self.cards(host)
            self.assertEqual(cards["b.vcf"], local["b.vcf"])
            for n, c in cards.items():
                self.assertIn(c, (local[n], server_book[n]), n)
            self.assertEqual(os.listdir(host.data_dir).count("~N2Unpack.tmp"), 0)
        return shown

    def full_disk_while_packing(self, server):
        data = os.path.join(self.case, "data")
        with small_disk(data, 1024):
            host = self.host("h", server, data)
            self.note_paths(host)
            book = {"a.vcf": card("Ann"), "photo.vcf": photo_card("Pat", 300 * 1024, 2)}
            n2hosts.write_tree(host.book, book)
            fill(data, 150)
            shown = self.run_with(host, "upload")
            self.assertEqual(self.cards(host), book)
            self.assertFalse(os.path.exists(os.path.join(self.server_folder(server), "N2AddBook.zip")))
        return shown

    def card_locked_while_packing(self, server):
        host = self.host("h", server)
        self.note_paths(host)
        book = {"a.vcf": card("Ann"), "b.vcf": card("Bob")}
        n2hosts.write_tree(host.book, book)
        with held_open(os.path.join(host.book, "b.vcf")):
            shown = self.run_with(host, "upload")
        self.assertEqual(self.cards(host), book)
        self.assertFalse(os.path.exists(os.path.join(self.server_folder(server), "N2AddBook.zip")))
        return shown

    def card_locked_while_unpacking(self, server, others_may_read=False):
        host = self.host("h", server)
        self.note_paths(host)
        first = {"a.vcf": card("Ann"), "b.vcf": card("Bob"), "c.vcf": card("Cy")}
        self.put_book(server, first)
        self.assertEqual(self.run_with(host, "download"), [])
        second = {"a.vcf": card("Ann 2"), "b.vcf": card("Bob 2"), "c.vcf": card("Cy 2")}
        self.put_book(server, second)
        with held_open(os.path.join(host.book, "b.vcf"), others_may_read):
            shown = self.run_with(host, "download")
        # The card held open stays as it was; the others are taken.
        self.assertEqual(self.cards(host), dict(second, **{"b.vcf": first["b.vcf"]}))
        # Once the card is free again, the next download brings the whole book.
        self.assertEqual(self.run_with(host, "download"), [])
        self.assertEqual(self.cards(host), second)
        return shown

    def card_locked_in_a_large_book(self, server):
        """A card held open in a large book fails alone: every other card is
        taken, and agrees with the server from then on, so that a later
        change of one of them on the server is taken, not mistaken for a
        conflict with a local edit."""
        host = self.host("h", server)
        self.note_paths(host)
        names = ["c%03d.vcf" % i for i in range(300)]
        self.put_book(server, {n: card(n) for n in names})
        self.assertEqual(self.run_with(host, "download"), [])
        second = {n: card(n + " 2") for n in names}
        self.put_book(server, second)
        with held_open(os.path.join(host.book, "c280.vcf")):
            shown = self.run_with(host, "download")
        self.assertEqual(self.cards(host), dict(second, **{"c280.vcf": card("c280.vcf")}))
        third = dict(second, **{"c005.vcf": card("c005.vcf 3")})
        self.put_book(server, third)
        self.assertEqual(self.run_with(host, "download"), [])
        self.assertEqual(self.cards(host), third)
        self.assertFalse(os.path.exists(os.path.join(host.data_dir, "N2Conflicts")))
        return shown

    def card_held_for_reading_while_unpacking(self, server):
        # Read to compare, then not to be replaced.
        return self.card_locked_while_unpacking(server, others_may_read=True)

    def card_gone_before_reading(self, server):
        host = self.host("h", server)
        self.note_paths(host)
        book = {"a.vcf": card("Ann"), "b.vcf": card("Bob")}
        n2hosts.write_tree(host.book, book)
        # Wine lists a name with a trailing dot but finds no file under it (the
        # system drops the dot when it opens a name): a card that is in the
        # folder's listing and gone when it is read. (A link whose target has
        # gone would not be listed at all.)
        with open(os.path.join(host.book, "gone.vcf."), "wb") as f:
            f.write(card("Gone"))
        shown = self.run_with(host, "upload")
        self.assertEqual(self.server_book(server), book)
        return shown

    def settings_file_read_only(self, server):
        host = self.host("h", server)
        self.note_paths(host)
        ini = os.path.join(host.plugin_dir, "N2VelmEn.ini")
        with open(ini, "rb") as f:
            before = f.read()
        os.chmod(ini, 0o444)  # what Wine shows as a read-only file
        out = host.run("start", "apply", "exit")
        self.assertIn("apply: done", out)
        with open(ini, "rb") as f:
            self.assertEqual(f.read(), before)
        return boxes(out)

    def settings_folder_read_only(self, server):
        host = self.host("h", server)
        self.note_paths(host)
        ini = os.path.join(host.plugin_dir, "N2VelmEn.ini")
        # Written by hand: a comment, blanks and a key in lower case, which a
        # save writes anew; the section keeps the name it was read with.
        saved = self.settings(server).replace("[Setup]", "[setup]")
        with open(ini, "w", newline="") as f:
            f.write("; mine\r\n" + saved.replace("Passwd=", "passwd = "))
        with immutable(host.plugin_dir):
            out = host.run("start", "apply", "exit")
        self.assertIn("apply: done", out)
        with open(ini, "rb") as f:
            self.assertEqual(f.read().decode(), saved)
        self.assertEqual(sorted(os.listdir(host.plugin_dir)), ["Data", "N2VelmEn.dll", "N2VelmEn.ini"])
        return boxes(out)

    def check_faults(self, cases):
        """Runs each case (what, server, the boxes it must show: texts with
        the host's paths put in, or patterns) and checks the boxes shown."""
        for fault, server, expected in cases:
            with self.subTest(fault=fault.__name__, server=server):
                self.setUp()
                shown = fault(server)
                self.assertEqual(len(shown), len(expected), shown)
                for text, wanted in zip(shown, expected):
                    if isinstance(wanted, str):
                        self.assertEqual(text, wanted.format(**self.paths))
                    else:
                        self.assertRegex(text, wanted)

    # ---- three installations, one book ----------------------------------

    ROUNDS = 20

    def test_three_hosts_share_one_book(self):
        """Three hosts edit their own cards for twenty rounds, uploading on
        change and downloading after each edit. Every download applies a
        whole archive or changes nothing, no card is ever cut, and the run
        reports how many edits uploads that overlapped in time dropped."""
        server = self.SHARE_SERVER
        names = ["x", "y", "z"]
        hosts = {n: self.host(n, server, upload=1) for n in names}
        n2hosts.write_tree(hosts["x"].book, {n + ".vcf": card(n) for n in names})
        self.assertEqual(self.run_with(hosts["x"], "upload"), [])
        for n in names[1:]:
            self.assertEqual(self.run_with(hosts[n], "download"), [])

        snapshots = os.path.join(self.case, "snapshots")
        outputs = {}

        def rounds(name):
            commands = ["--times", "start"]
            for r in range(1, self.ROUNDS + 1):
                folder = n2hosts.winpath(os.path.join(snapshots, name, "%02d" % r))
                commands += ["edit:%s.vcf:NOTE:edit %d by %s" % (name, r, name), "copybook:%s-before" % folder,
                             "download", "copybook:%s-after" % folder]
            outputs[name] = hosts[name].run(*commands, "exit", timeout=600)
        threads = [threading.Thread(target=rounds, args=(n,)) for n in names]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

        incomplete = re.compile(r"(Exception|EHttpException)\\r\\nThe (archive .*|server's copy of the address book) "
                                r"is incomplete; nothing was (unpacked|sent)\.$")
        windows, failed_uploads, failed_downloads, corrupted = [], 0, 0, []
        for name in names:
            lines = outputs[name].splitlines()
            self.assertEqual(sum(1 for x in lines if x.startswith("edit: done")), self.ROUNDS, outputs[name])
            self.assertEqual(sum(1 for x in lines if x.startswith("download: done")), self.ROUNDS, outputs[name])
            r, shown = 0, []
            for line in lines:
                if line.startswith("box: "):
                    shown.append(line[5:])
                    continue
                if line.startswith("edit: done"):
                    r += 1
                    begin, end = map(int, line.split()[2:4])
                    windows.append((begin, end, name))
                    # An upload whose fetch met an archive still being written sends nothing.
                    for text in shown:
                        self.assertRegex(text, incomplete)
                    failed_uploads += len(shown)
                elif line.startswith("download: done"):
                    before = n2hosts.read_tree(os.path.join(snapshots, name, "%02d-before" % r))
                    after = n2hosts.read_tree(os.path.join(snapshots, name, "%02d-after" % r))
                    for text in shown:
                        self.assertRegex(text, incomplete)
                    if shown:
                        failed_downloads += 1
                        self.assertEqual(after, before, "a failed download changed the book")
                    corrupted += [(name, r, n) for n, c in after.items() if c is not None and not valid_card(n, c)]
                shown = [] if line.startswith(("edit:", "download:")) else shown

        # Everything still local goes up, then every book comes down.
        for n in names:
            self.assertEqual(self.run_with(hosts[n], "upload"), [])
        for n in names:
            self.assertEqual(self.run_with(hosts[n], "download"), [])
        server_book = self.server_book(server)
        for n in names:
            self.assertEqual(self.cards(hosts[n]), server_book)
        corrupted += [("server", n) for n, c in server_book.items() if not valid_card(n, c)]
        overlaps = sum(1 for a, b in itertools.combinations(windows, 2)
                       if a[2] != b[2] and a[0] < b[1] and b[0] < a[1])
        arrived = sum(len(re.findall(rb"NOTE:edit", server_book[n + ".vcf"])) for n in names)
        dropped = len(names) * self.ROUNDS - arrived
        print("%s: %d edits, %d arrived, %d dropped by the last writer winning (%d uploads overlapped in time), "
              "%d corrupted; %d uploads and %d downloads met an archive still being written and changed nothing"
              % (type(self).__name__, len(names) * self.ROUNDS, arrived, dropped, overlaps, len(corrupted),
                 failed_uploads, failed_downloads))
        self.assertEqual(corrupted, [])
        # Uploads that overlapped replaced each other on the server; the
        # identities of the card versions bring every edit back.
        self.assertEqual(dropped, 0)


class OverFtp(Faults, unittest.TestCase):
    KIND = 0
    INCOMPLETE_UPLOAD = (UPLOAD_FTP + "Exception\\r\\nThe server's copy of the address book is incomplete; "
                         "nothing was sent.")
    LIMIT_MS = 15000 + 5000  # the FTP client's time limit, and a margin for Wine
    SHARE_SERVER = "vsftpd-fast"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for name, mode, rate, *more in (("pyftpdlib", "real", RATE), ("vsftpd", "vsftpd", RATE),
                                        ("vsftpd-fast", "vsftpd", 0),
                                        ("vsftpd-nolock", "vsftpd", RATE, "--no-upload-locks")):
            root = os.path.join(cls.work, name + "-root")
            os.makedirs(root)
            os.chmod(root, 0o755)
            cls.servers[name] = Server("ftp_test_server.py", mode, os.path.join(cls.work, name),
                                       "--root", root, "--rate", str(rate), *more)
            cls.servers[name].root = root

    def address(self, server):
        if server == "fixture":
            return "127.0.0.1:%d" % n2hosts.fixture_port("ftp-servers", "real")
        return "127.0.0.1:%d" % self.servers[server].port

    def server_root(self, server):
        if server == "fixture":
            return os.path.join(n2hosts.BINARY_DIR, "ftp-servers", "root")
        return self.servers[server].root

    def user(self, server):
        return "anonymous" if server.startswith("vsftpd") else "n2user"

    def give_to_server(self, path):
        shutil.chown(path, "ftp", "ftp")  # vsftpd writes as the user "ftp"

    def prepare_transfer(self, server, upload):
        pass

    def upload_under_way(self, server):
        # The book arrives under a name of its own before it is renamed.
        folder = self.server_folder(server)
        return wait_until(lambda: any(n.startswith("N2AddBook.") and n.endswith(".tmp") and
                                      file_size(os.path.join(folder, n)) > 0 for n in os.listdir(folder)))

    def download_under_way(self, server, host):
        # The client writes what arrives in blocks of 64 KB.
        fetched = os.path.join(host.data_dir, "~N2Fetch.zip")
        return wait_until(lambda: file_size(fetched) >= 65536)

    def restart(self, server):
        self.servers[server].restart()

    def test_faults(self):
        closed = DOWNLOAD_FTP + "Exception\\r\\nFtp Download Error! 500 Control connection closed - %s"
        self.check_faults([
            (self.killed_during_upload, "pyftpdlib", [UPLOAD_FTP + "Exception\\r\\nFtp Upload Error!"]),
            (self.killed_during_upload, "vsftpd", [UPLOAD_FTP + "Exception\\r\\nFtp Upload Error!"]),
            (self.killed_during_download, "pyftpdlib", [closed % "Connection closed by server"]),
            (self.killed_during_download, "vsftpd", [closed % "Connection closed by server"]),
            (self.download_during_upload, "vsftpd-nolock", []),
            (self.download_during_upload_in_place, "vsftpd-nolock", []),
            (self.full_disk_during_download, "fixture",
             [DOWNLOAD_FTP + "Exception\\r\\nFtp Download Error! 550 Error writing local file {fetch}: "
              "Write error. Disk full"]),
            # The two changed cards are written side by side: either meets the full
            # disk, as it is written or when the free space is asked before it.
            (self.full_disk_during_unpacking, "fixture",
             [re.compile(re.escape(EXTRACT + 'EWriteError\\r\\n')
                         + r'(Write error on "Z:.*\\AddrBook\\[ab]\.vcf"\. Disk full|Cannot unpack "Z:.*\\AddrBook\\[ab]\.vcf"\. '
                         + r'It needs [0-9,]+ bytes, and the disk has [0-9,]+ bytes free)(\\r\\n1 more card could not be unpacked: '
                         + r'AddrBook/[ab]\.vcf)?$')]),
            (self.full_disk_while_packing, "fixture",
             [COMPRESS + 'EWriteError\\r\\nWrite error on "{pack}". Disk full']),
            (self.card_locked_while_packing, "fixture",
             [COMPRESS + 'EFOpenError\\r\\nCannot open file "{book}\\b.vcf". Sharing violation']),
            (self.card_locked_while_unpacking, "fixture",
             [EXTRACT + 'EFOpenError\\r\\nCannot open file "{book}\\b.vcf". Sharing violation']),
            (self.card_locked_in_a_large_book, "fixture",
             [EXTRACT + 'EFOpenError\\r\\nCannot open file "{book}\\c280.vcf". Sharing violation']),
            (self.card_held_for_reading_while_unpacking, "fixture",
             [EXTRACT + 'EFCreateError\\r\\nCannot create file "{book}\\b.vcf". Sharing violation']),
            (self.card_gone_before_reading, "fixture", []),
            (self.settings_file_read_only, "fixture", ['Cannot create file "{ini}". Access denied']),
            (self.settings_folder_read_only, "fixture", []),
        ])


class OverHttp(Faults, unittest.TestCase):
    KIND = 1
    INCOMPLETE_UPLOAD = (UPLOAD_HTTP + "Exception\\r\\nThe server's copy of the address book is incomplete; "
                         "nothing was sent.")
    LIMIT_MS = 30000 + 5000  # the HTTP client's
    SHARE_SERVER = "nginx-direct"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.servers["nginx"] = Server("http_test_server.py", "nginx", os.path.join(cls.work, "nginx"),
                                      "--slow-rate", str(RATE))
        cls.relay = Relay(cls.servers["nginx"].port)

    @classmethod
    def tearDownClass(cls):
        cls.relay.close()
        super().tearDownClass()

    def address(self, server):
        if server == "nginx-direct":
            return "127.0.0.1:%d" % self.servers["nginx"].port
        return "127.0.0.1:%d" % self.relay.port

    def server_root(self, server):
        return os.path.join(self.work, "nginx", "www", "dav" if server == "nginx-direct" else "slow")

    def server_path(self, server):
        return "/%s/%s/" % ("dav" if server == "nginx-direct" else "slow", os.path.basename(self.case))

    def prepare_transfer(self, server, upload):
        self.relay.reset_counts(up_rate=RATE if upload else 0)

    def upload_under_way(self, server):
        return self.relay.wait_passed("up", 16384)

    def download_under_way(self, server, host):
        return self.relay.wait_passed("down", 32768)

    def restart(self, server):
        self.servers[server].restart()
        self.relay.upstream_port = self.servers[server].port
        self.relay.reset_counts()

    def card_locked_while_the_servers_book_comes(self, server):
        """An upload by hand fetches the server's book, changed by a colleague,
        while its own is packed: a packing that fails cuts that fetch off."""
        host = self.host("h", server)
        self.note_paths(host)
        n2hosts.write_tree(host.book, {"a.vcf": card("Ann"), "b.vcf": card("Bob")})
        self.assertEqual(self.run_with(host, "upload"), [])
        # Some twenty seconds at the server's rate.
        colleague = {"a.vcf": card("Ann"), "b.vcf": card("Bob"), "p.vcf": photo_card("Pat", 20 * RATE, 5)}
        self.put_book(server, colleague)
        size = os.path.getsize(os.path.join(self.server_folder(server), "N2AddBook.zip"))
        book = {"a.vcf": card("Ann"), "b.vcf": card("Bob 2")}
        n2hosts.write_tree(host.book, book)
        self.prepare_transfer(server, False)
        with held_open(os.path.join(host.book, "b.vcf")):
            shown = self.run_with(host, "upload")
        self.assertLess(self.relay.passed["down"], size)
        self.assertEqual(self.cards(host), book)
        self.assertEqual(self.server_book(server), colleague)
        return shown

    def test_faults(self):
        self.check_faults([
            (self.killed_during_upload, "nginx",
             [UPLOAD_HTTP + "EHttpException\\r\\nConnection closed by the server without a response"]),
            (self.killed_during_download, "nginx",
             [re.compile(re.escape(DOWNLOAD_HTTP + "EHttpException\\r\\nConnection closed by the server after ")
                         + r"\d+ of \d+ body bytes")]),
            (self.full_disk_during_download, "nginx",
             [DOWNLOAD_HTTP + 'EHttpException\\r\\nEWriteError: Write error on "{fetch}". Disk full']),
            (self.card_locked_while_the_servers_book_comes, "nginx",
             [COMPRESS + 'EFOpenError\\r\\nCannot open file "{book}\\b.vcf". Sharing violation']),
        ])


if __name__ == "__main__":
    unittest.main()
