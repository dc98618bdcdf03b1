"""Two installations of our host, on a Japanese system (code page 932), share
the Japanese address book through other servers than the tests' ones, and a
table shows which steps passed. Started by scripts/interop.sh, which installs
and unpacks the servers and builds the host and the plug-in.

Each configuration gets a server of its own on a loopback port, with its own
configuration file and logs in a temporary folder, and two installations A
and B (a copy of the plug-in each, its settings file and data folder). They
run these steps in order:

  upload        A uploads its book; the server's archive holds it
  download      B downloads; B's book equals A's
  A to B        A changes a card and uploads, B downloads; the books are equal
  B to A        B changes a card and uploads, A downloads; the books are equal
  both          A and B change different cards, both upload, both download;
                both changes are in both books
  clear         A clears the book on the server; the server holds none
  after clear   B downloads; B's book is unchanged

A step passes when every host run printed "<command>: done" and no "box:"
line, the books are as expected, no conflict copy appeared, and an FTP
server's logs show data connections of the configuration's mode only (PASV or
EPSV; PORT or EPRT). The server's logs, the hosts' output and their job logs
of a failing step are kept.

Also the helper the run starts inetutils ftpd with: `interop.py inetd PORT
PROGRAM ARGS...` listens on 127.0.0.1:PORT and runs PROGRAM on each
connection with the connection as its standard input and output (as inetd
does: inetutils ftpd listens only on port 21 when it runs standalone).
"""

import argparse
import contextlib
import os
import pwd
import re
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unicodedata
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
import n2hosts  # noqa: E402

JAPANESE = {"LC_ALL": "ja_JP.UTF-8"}
USER = "n2interop"


def card(who, note=""):
    text = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:%s\r\nEMAIL:n2@example.com\r\n" % who
    if note:
        text += "NOTE:%s\r\n" % note
    return (text + "END:VCARD\r\n").encode("cp932")


# ソ 83 5C, 表 95 5C, 十 8F 5C, 能 94 5C, 予 97 5C, ポ 83 7C, ア 83 41, ヂ 83 61:
# second bytes of "\", "|" and letters.
BOOK = {
    "表.vcf": card("表"),
    "予定.vcf": card("予定"),
    "能力.vcf": card("能力"),
    "ソフト開発/": None,
    "ソフト開発/表.vcf": card("ソフト開発の表"),
    "ソフト開発/十能.vcf": card("十能"),
    "ソ/": None,
    "ソ/ポ/": None,
    "ソ/ポ/能.vcf": card("能"),
    "ポイント.vcf": card("ポイント"),
    "ア.vcf": card("ア"),
    "ヂ.vcf": card("ヂ"),
}
# The cards the steps change: A's, B's, then one each at the same time.
A_CARD, B_CARD, BOTH_A_CARD, BOTH_B_CARD = "ソフト開発/表.vcf", "予定.vcf", "能力.vcf", "ソ/ポ/能.vcf"

STEPS = ["upload", "download", "A to B", "B to A", "both", "clear", "after clear"]
JAPANESE_FOLDER = "共有"
JAPANESE_PASSWORD = "パスワード表"


# ---- small helpers -----------------------------------------------------------

def free_port(pair=False):
    """A free loopback port; with pair, one whose port below is free too
    (inetutils ftpd connects from there in active mode)."""
    while True:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if not pair:
            return port
        with socket.socket() as s, contextlib.suppress(OSError):
            s.bind(("127.0.0.1", port - 1))
            return port


def wait_for_port(port, process, limit=15.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if process.poll() is not None:
            raise RuntimeError("the server ended at once (exit status %d)" % process.returncode)
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=1):
            return
        time.sleep(0.1)
    raise RuntimeError("the server does not listen on port %d" % port)


def make_folder(path, owner=True):
    """A folder the servers' user owns (they write as that user)."""
    os.makedirs(path, exist_ok=True)
    if owner:
        shutil.chown(path, USER, USER)
    os.chmod(path, 0o755)


def width(text):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def pad(text, size):
    return text + " " * (size - width(text))


# ---- servers -----------------------------------------------------------------

class SyslogCollector:
    """A Unix datagram socket that takes what a server sends to syslog and
    writes it to a file. The server sees it at /dev/log in a mount namespace
    of its own (see NAMESPACE)."""

    def __init__(self, socket_path, log_path):
        self.path = socket_path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(socket_path)
        os.chmod(socket_path, 0o666)  # the servers log after they dropped root
        self.sock.settimeout(0.2)
        self.log = open(log_path, "ab")
        self.running = True
        self.thread = threading.Thread(target=self.collect, daemon=True)
        self.thread.start()

    def collect(self):
        while self.running:
            try:
                message = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            self.log.write(time.strftime("%H:%M:%S ").encode() + message.rstrip(b"\0\n") + b"\n")
            self.log.flush()

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()
        self.log.close()


# Runs "$@" in a mount namespace of its own whose /dev is a small tmpfs with
# the common device nodes and, as /dev/log, the collector's socket ($0). The
# system's /dev is not touched; the server's syslog lines reach the collector.
NAMESPACE = r"""
set -e
mount -t tmpfs -o mode=755 n2interop-dev /dev
for node in null:3 zero:5 full:7 random:8 urandom:9; do mknod -m 666 "/dev/${node%%:*}" c 1 "${node#*:}"; done
ln -s /proc/self/fd /dev/fd
touch /dev/log
mount --bind "$0" /dev/log
exec "$@"
"""


class Server:
    """A server of the run's own in folder `home` of the work folder."""

    kind = 0  # 0 FTP, 1 HTTP, as the settings file says

    def __init__(self, unpacked, work, name, password):
        self.unpacked, self.password = unpacked, password
        self.home = os.path.join(work, name)
        make_folder(self.home, owner=False)
        self.port = None
        self.process = None
        self.collector = None
        self.logs = []

    @property
    def env(self):
        return dict(os.environ, LD_LIBRARY_PATH=os.path.join(self.unpacked, "usr", "lib", "x86_64-linux-gnu"))

    def program(self, path):
        return os.path.join(self.unpacked, path)

    def launch(self, command, syslog=False, pair=False):
        self.port = self.port or free_port(pair)
        command = [c.replace("{port}", str(self.port)) for c in command]
        stderr_path = os.path.join(self.home, "stderr.log")
        self.logs.append(stderr_path)
        if syslog:
            log_path = os.path.join(self.home, "syslog.log")
            self.collector = SyslogCollector(os.path.join(self.home, "log.socket"), log_path)
            self.logs.append(log_path)
            command = ["unshare", "-m", "--propagation", "private", "sh", "-c", NAMESPACE,
                       self.collector.path] + command
        with open(stderr_path, "ab") as stderr:
            self.process = subprocess.Popen(command, env=self.env, stdin=subprocess.DEVNULL, stdout=stderr,
                                            stderr=stderr, start_new_session=True)
        wait_for_port(self.port, self.process)

    def stop(self):
        if self.process:
            # The server's own process group: its daemon and every connection's process.
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
            self.process = None
        if self.collector:
            self.collector.close()
            self.collector = None

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port

    def root(self):
        """The folder the client's paths start from."""
        return os.path.join(self.home, "root")

    def setting_path(self, folder):
        """The folder as the settings file names it."""
        return "/%s/" % folder

    def folder_on_disk(self, folder, encoding="utf-8"):
        return os.fsdecode(os.path.join(os.fsencode(self.root()), folder.encode(encoding)))

    def cleared(self, archive):
        """A clear leaves no archive (FTP deletes it)."""
        return not os.path.exists(archive)


class PureFtpd(Server):
    """pure-ftpd with a virtual user of its own passwd file (puredb), mapped to
    the unix user and locked into the server's root."""

    data_command = rb"Command \[(pasv|epsv|port|eprt)\]"

    def start(self):
        make_folder(self.root())
        hashed = subprocess.run(["openssl", "passwd", "-6", "-stdin"], input=self.password.encode(),
                                stdout=subprocess.PIPE, check=True).stdout.decode().strip()
        passwd = os.path.join(self.home, "pureftpd.passwd")
        with open(passwd, "w") as f:
            user = pwd.getpwnam(USER)
            f.write("%s:%s:%d:%d::%s/./::::::::::::\n" % (USER, hashed, user.pw_uid, user.pw_gid, self.root()))
        database = os.path.join(self.home, "pureftpd.pdb")
        subprocess.run([self.program("usr/bin/pure-pw"), "mkdb", database, "-f", passwd], env=self.env,
                       check=True, stdout=subprocess.DEVNULL)
        self.launch([self.program("usr/sbin/pure-ftpd"), "--bind", "127.0.0.1,{port}",
                     "--login", "puredb:" + database, "--noanonymous", "--dontresolve",
                     "--verboselog", "--verboselog"], syslog=True)


class Proftpd(Server):
    """proftpd as a standalone daemon (it runs as root and serves each session
    as the logged-in unix user), locked into the server's root."""

    data_command = rb'"(PASV|EPSV|PORT|EPRT)\b'

    def start(self):
        make_folder(self.root())
        conf = os.path.join(self.home, "proftpd.conf")
        self.port = free_port()
        with open(conf, "w") as f:
            f.write("""ServerName "n2interop"
ServerType standalone
Port {port}
DefaultAddress 127.0.0.1
SocketBindTight on
UseIPv6 off
User nobody
Group nogroup
PidFile {home}/proftpd.pid
ScoreboardFile {home}/proftpd.scoreboard
DelayTable none
WtmpLog off
UseReverseDNS off
ControlsEngine off
SystemLog {home}/system.log
ExtendedLog {home}/commands.log ALL
TransferLog {home}/transfer.log
AuthOrder mod_auth_unix.c
RequireValidShell off
DefaultRoot {root}
AllowOverwrite on
Umask 022
""".format(port=self.port, home=self.home, root=self.root()))
        self.logs += [os.path.join(self.home, n) for n in ("system.log", "commands.log", "transfer.log")]
        self.launch([self.program("usr/sbin/proftpd"), "--nodaemon", "--config", conf])


class InetutilsFtpd(Server):
    """inetutils ftpd, started per connection by this script as inetd would;
    it does not lock users into a folder, so paths are the system's."""

    data_command = rb"command: (PASV|EPSV|PORT|EPRT)\b"

    def start(self):
        make_folder(self.root())
        self.launch(["/usr/bin/python3", os.path.abspath(__file__), "inetd", "{port}",
                     self.program("usr/sbin/ftpd"), "--auth=default", "--debug", "--logging"],
                    syslog=True, pair=True)

    def setting_path(self, folder):
        return "%s/%s/" % (self.root(), folder)


class Lighttpd(Server):
    """lighttpd with WebDAV (for PUT), as the unix user, optionally with Basic
    authentication from an htpasswd file."""

    kind = 1

    def __init__(self, unpacked, work, name, password, basic):
        super().__init__(unpacked, work, name, password)
        self.basic = basic

    def root(self):
        return os.path.join(self.home, "www")

    def start(self):
        make_folder(self.root())
        make_folder(os.path.join(self.home, "logs"))
        self.port = free_port()
        conf = os.path.join(self.home, "lighttpd.conf")
        lines = [
            'server.document-root = "%s"' % self.root(),
            'server.bind = "127.0.0.1"',
            "server.port = %d" % self.port,
            'server.username = "%s"' % USER,
            'server.groupname = "%s"' % USER,
            'server.errorlog = "%s/logs/error.log"' % self.home,
            'server.modules += ("mod_webdav", "mod_accesslog")',
            'accesslog.filename = "%s/logs/access.log"' % self.home,
            'webdav.activate = "enable"',
            # The stat cache may serve a replaced file's old length for a second.
            'server.stat-cache-engine = "disable"',
            'debug.log-request-header = "enable"',
            'debug.log-response-header = "enable"',
        ]
        if self.basic:
            hashed = subprocess.run(["openssl", "passwd", "-apr1", "-stdin"], input=self.password.encode(),
                                    stdout=subprocess.PIPE, check=True).stdout.decode().strip()
            htpasswd = os.path.join(self.home, "htpasswd")
            with open(htpasswd, "w") as f:
                f.write("%s:%s\n" % (USER, hashed))
            lines += [
                'server.modules += ("mod_auth", "mod_authn_file")',
                'auth.backend = "htpasswd"',
                'auth.backend.htpasswd.userfile = "%s"' % htpasswd,
                'auth.require = ("/" => ("method" => "basic", "realm" => "n2interop", "require" => "valid-user"))',
            ]
        with open(conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.logs += [os.path.join(self.home, "logs", n) for n in ("error.log", "access.log")]
        self.launch(["/usr/sbin/lighttpd", "-D", "-f", conf])

    def cleared(self, archive):
        """A clear over HTTP leaves an empty archive."""
        return not os.path.exists(archive) or os.path.getsize(archive) == 0


class Configuration:
    """A server and how the installations use it: passive or active FTP, the
    folder (on the server named in UTF-8, as the system's tools name it, or in
    code page 932, as a client that passes its bytes on would name it) and the
    password (by default the run's ASCII one)."""

    def __init__(self, name, make_server, passive=1, folder="n2", disk_encoding="utf-8", password=None,
                 by_rule=None):
        self.name, self.make_server, self.passive, self.folder = name, make_server, passive, folder
        self.disk_encoding, self.password = disk_encoding, password
        # Why the plug-in cannot reach this folder, when its rule says so.
        self.by_rule = by_rule


# How the plug-in names a folder with Japanese characters: in UTF-8 over HTTP
# and to an FTP server that announces UTF8 in FEAT, else in code page 932.
# A folder the server names otherwise cannot be reached, by that rule.
SENDS_UTF8 = {"pure-ftpd": False, "proftpd": True, "inetutils": False, "lighttpd": True}


def in_japanese_folder(name, make_server, encoding):
    """A configuration whose folder is /共有/, named on the server in encoding."""
    utf8 = SENDS_UTF8[name.split()[0]]
    by_rule = None
    if utf8 and encoding != "utf-8":
        by_rule = "the folder goes in UTF-8 (HTTP, or an FTP server announcing UTF8)"
    elif not utf8 and encoding == "utf-8":
        by_rule = "the server does not announce UTF8: the folder goes in code page 932"
    return Configuration("%s /%s/ %s" % (name, JAPANESE_FOLDER, encoding), make_server, folder=JAPANESE_FOLDER,
                         disk_encoding=encoding, by_rule=by_rule)


def lighttpd(basic):
    return lambda *a: Lighttpd(*a, basic=basic)


CONFIGURATIONS = [
    Configuration("pure-ftpd passive", PureFtpd),
    Configuration("pure-ftpd active", PureFtpd, passive=0),
    in_japanese_folder("pure-ftpd passive", PureFtpd, "utf-8"),
    in_japanese_folder("pure-ftpd passive", PureFtpd, "cp932"),
    Configuration("proftpd passive", Proftpd),
    Configuration("proftpd active", Proftpd, passive=0),
    in_japanese_folder("proftpd passive", Proftpd, "utf-8"),
    in_japanese_folder("proftpd passive", Proftpd, "cp932"),
    Configuration("inetutils passive", InetutilsFtpd),
    Configuration("inetutils active", InetutilsFtpd, passive=0),
    in_japanese_folder("inetutils passive", InetutilsFtpd, "utf-8"),
    in_japanese_folder("inetutils passive", InetutilsFtpd, "cp932"),
    Configuration("lighttpd", lighttpd(False)),
    Configuration("lighttpd Basic", lighttpd(True)),
    in_japanese_folder("lighttpd", lighttpd(False), "utf-8"),
    in_japanese_folder("lighttpd", lighttpd(False), "cp932"),
    Configuration("lighttpd Basic, Japanese password", lighttpd(True), password=JAPANESE_PASSWORD),
]


# ---- the two installations and the steps ----------------------------------------

def settings_bytes(server, passive, folder, password):
    """The settings file as the dialog saves it on a Japanese system: code page 932."""
    return ("[Setup]\r\nUserName=%s\r\nPasswd=%s\r\nChkUpload=0\r\nChkAuto=0\r\nChkStart=0\r\nChkClose=0\r\n\r\n"
            "[Server]\r\nType=%d\r\nChkPassive=%d\r\nServerName=%s\r\nPath=%s\r\n\r\n"
            % (USER, password, server.kind, passive, server.address, server.setting_path(folder))).encode("cp932")


def short_box(text):
    """A box's text without the words every box has."""
    parts = [p for p in text.split("\\r\\n") if p and p != "Please try again."]
    return " | ".join(p.replace("Norvel2 plug-in Velmora ", "") for p in parts)


def tree_differences(expected, actual):
    """What makes actual differ from expected, in a few words."""
    lacks = sorted(n for n in expected if n not in actual)
    extra = sorted(n for n in actual if n not in expected)
    differ = sorted(n for n in expected if n in actual and expected[n] != actual[n])
    words = []
    for label, names in (("lacks", lacks), ("has more", extra), ("differs in", differ)):
        if names:
            more = " (+%d more)" % (len(names) - 3) if len(names) > 3 else ""
            words.append("%s %s%s" % (label, ", ".join(names[:3]), more))
    return "; ".join(words)


def archive_tree(path):
    """The entries of an archive below AddrBook/, as read_tree gives a folder."""
    tree = {}
    with zipfile.ZipFile(path) as z:
        for info in z.infolist():
            name = info.filename if info.flag_bits & 0x800 else info.orig_filename.encode("cp437").decode("cp932")
            if not name.startswith("AddrBook/") or name == "AddrBook/":
                continue
            tree[name[len("AddrBook/"):]] = None if name.endswith("/") else z.read(info)
    return tree


class StepFailed(Exception):
    pass


class Installation:
    def __init__(self, label, work, settings):
        base = os.path.join(work, label)
        # Folders whose names end in a double-byte character with a "\" byte.
        self.label = label
        self.sandbox = n2hosts.Sandbox(os.path.join(base, "プラグイン表"), os.path.join(base, "データソ"), "", JAPANESE)
        with open(os.path.join(self.sandbox.plugin_dir, "N2VelmEn.ini"), "wb") as f:
            f.write(settings)
        self.transcript = []

    @property
    def book(self):
        return self.sandbox.book

    def tree(self):
        return n2hosts.read_tree(self.book)

    def conflicts(self):
        folder = os.path.join(self.sandbox.data_dir, "N2Conflicts")
        return set(n for n, c in n2hosts.read_tree(folder).items() if c is not None) if os.path.isdir(folder) else set()

    def job_log(self):
        return os.path.join(self.sandbox.data_dir, "N2VelmEn.log")

    def change(self, name, note):
        os.makedirs(os.path.dirname(os.path.join(self.book, name)), exist_ok=True)
        with open(os.path.join(self.book, name), "wb") as f:
            f.write(card(name, note))

    def run(self, command):
        """Runs our host with one job; raises StepFailed with the reason when
        the job did not end with "done" or showed a box."""
        try:
            output = self.sandbox.run("start", command, "exit", "unload", timeout=240)
        except subprocess.TimeoutExpired:
            self.transcript.append("%s %s: the host did not end within 240 s" % (self.label, command))
            raise StepFailed("%s %s: the host did not end" % (self.label, command))
        self.transcript.append("%s %s:\n%s" % (self.label, command, output))
        boxes = [line[len("box: "):] for line in output.splitlines() if line.startswith("box: ")]
        if boxes:
            raise StepFailed("%s %s: box: %s" % (self.label, command, short_box(boxes[0])))
        if "%s: done" % command not in output.splitlines():
            status = [line for line in output.splitlines() if line.startswith(command + ":")]
            raise StepFailed("%s %s: %s" % (self.label, command, status[0] if status else "no result"))


class Run:
    """One configuration: its server, A and B, and the steps."""

    def __init__(self, configuration, unpacked, work, logs, password):
        self.configuration = configuration
        self.password = configuration.password or password
        self.slug = re.sub(r"[^A-Za-z0-9.]+", "-", configuration.name).strip("-")
        self.work = os.path.join(work, self.slug)
        self.logs = os.path.join(logs, self.slug)
        os.makedirs(self.work)
        self.server = configuration.make_server(unpacked, self.work, "server", self.password)
        self.folder = configuration.folder

    def start(self):
        self.server.start()
        make_folder(self.server.folder_on_disk(self.folder, self.configuration.disk_encoding))
        settings = settings_bytes(self.server, self.configuration.passive, self.folder, self.password)
        self.a = Installation("A", self.work, settings)
        self.b = Installation("B", self.work, settings)
        n2hosts.write_tree(self.a.book, BOOK)

    def stop(self):
        self.server.stop()

    def archive(self):
        """The archive in the server's folder."""
        folder = self.server.folder_on_disk(self.folder, self.configuration.disk_encoding)
        return os.path.join(folder, "N2AddBook.zip")

    def expect_equal(self, changes=()):
        """B's book equals A's, and each (installation, card) of changes holds
        that installation's last version of the card in both books."""
        a, b = self.a.tree(), self.b.tree()
        difference = tree_differences(a, b)
        if difference:
            raise StepFailed("B's book " + difference)
        for who, name, content in changes:
            if a.get(name) != content:
                raise StepFailed("%s's change of %s is not in the books" % (who, name))

    # The steps: each raises StepFailed with its reason.

    def step_upload(self):
        self.a.run("upload")
        archive = self.archive()
        if not os.path.exists(archive):
            raise StepFailed("no N2AddBook.zip in the server's folder")
        difference = tree_differences(self.a.tree(), archive_tree(archive))
        if difference:
            raise StepFailed("the server's archive " + difference)

    def step_download(self):
        self.b.run("download")
        self.expect_equal()

    def step_a_to_b(self):
        self.a.change(A_CARD, "changed by A")
        self.a.run("upload")
        self.b.run("download")
        self.expect_equal([("A", A_CARD, card(A_CARD, "changed by A"))])

    def step_b_to_a(self):
        self.b.change(B_CARD, "changed by B")
        self.b.run("upload")
        self.a.run("download")
        self.expect_equal([("B", B_CARD, card(B_CARD, "changed by B"))])

    def step_both(self):
        self.a.change(BOTH_A_CARD, "changed by A at the same time")
        self.b.change(BOTH_B_CARD, "changed by B at the same time")
        self.a.run("upload")
        self.b.run("upload")
        self.a.run("download")
        self.b.run("download")
        self.expect_equal([("A", BOTH_A_CARD, card(BOTH_A_CARD, "changed by A at the same time")),
                           ("B", BOTH_B_CARD, card(BOTH_B_CARD, "changed by B at the same time"))])

    def step_clear(self):
        before = self.a.tree()
        self.a.run("clear")
        if not self.server.cleared(self.archive()):
            raise StepFailed("the server still holds the book")
        difference = tree_differences(before, self.a.tree())
        if difference:
            raise StepFailed("A's book " + difference)

    def step_after_clear(self):
        before = self.b.tree()
        self.b.run("download")
        difference = tree_differences(before, self.b.tree())
        if difference:
            raise StepFailed("B's book " + difference)

    def run_step(self, step):
        """"ok" or the reason the step failed; keeps the logs of a failure."""
        logs = self.server.logs + [self.a.job_log(), self.b.job_log()]
        sizes = {path: os.path.getsize(path) if os.path.exists(path) else 0 for path in logs}
        conflicts = (self.a.conflicts(), self.b.conflicts())
        self.a.transcript.clear()
        self.b.transcript.clear()
        method = getattr(self, "step_" + step.replace(" ", "_").lower())
        try:
            method()
            new = [(i.label, n) for i, old in zip((self.a, self.b), conflicts) for n in i.conflicts() - old]
            if new:
                raise StepFailed("conflict copy in %s: %s" % (new[0][0], new[0][1]))
            self.check_data_connections(step, sizes)
            return "ok"
        except StepFailed as failure:
            reason = str(failure)
        except Exception as failure:  # a fault of this script: still show the table
            reason = "%s: %s" % (type(failure).__name__, failure)
        self.keep_logs(step, logs, sizes)
        return reason

    def check_data_connections(self, step, sizes):
        """An FTP server's logs of the step show data connections of the
        configuration's mode only."""
        if self.server.kind != 0:
            return
        commands = set()
        for path in self.server.logs:
            with open(path, "rb") as f:
                f.seek(sizes[path])
                commands |= {c.upper() for c in re.findall(self.server.data_command, f.read())}
        wanted = {b"PASV", b"EPSV"} if self.configuration.passive else {b"PORT", b"EPRT"}
        # A clear opens no data connection.
        if commands - wanted or not commands & wanted and step != "clear":
            raise StepFailed("the server's logs show data connections by %s"
                             % (", ".join(sorted(c.decode() for c in commands)) or "no command"))

    def keep_logs(self, step, logs, sizes):
        folder = os.path.join(self.logs, step.replace(" ", "-"))
        os.makedirs(folder, exist_ok=True)
        # Give the servers a moment to write the last lines.
        time.sleep(0.3)
        installations = [i for i in (getattr(self, "a", None), getattr(self, "b", None)) if i]
        owners = {i.job_log(): i.label + "-" for i in installations}
        for path in logs:
            if not os.path.exists(path):
                continue
            name = owners.get(path, "") + os.path.basename(path)
            with open(path, "rb") as source, open(os.path.join(folder, name), "wb") as f:
                source.seek(sizes[path])
                f.write(source.read())
        transcript = [t for i in installations for t in i.transcript]
        if transcript:
            with open(os.path.join(folder, "hosts.txt"), "w") as f:
                f.write("\n".join(transcript) + "\n")


# ---- the table ---------------------------------------------------------------------

def print_table(names, results, out=sys.stdout):
    """One row per configuration, one column per step: "ok" or the number of
    a reason listed below the table."""
    reasons = []
    rows = []
    for name, cells in zip(names, results):
        row = [name]
        for cell in cells:
            if cell in ("ok", "-"):
                row.append(cell)
            else:
                if cell not in reasons:
                    reasons.append(cell)
                row.append("[%d]" % (reasons.index(cell) + 1))
        rows.append(row)
    header = ["configuration"] + STEPS
    sizes = [max(width(r[i]) for r in rows + [header]) for i in range(len(header))]
    line = lambda cells: "| " + " | ".join(pad(c, s) for c, s in zip(cells, sizes)) + " |"  # noqa: E731
    print(line(header), file=out)
    print("|" + "|".join("-" * (s + 2) for s in sizes) + "|", file=out)
    for row in rows:
        print(line(row), file=out)
    print(file=out)
    if any(JAPANESE_FOLDER in name for name in names):
        print("/%s/ utf-8: the server's folder is named in UTF-8 (as the server's own tools name it);"
              " cp932: in code page 932." % JAPANESE_FOLDER, file=out)
    if any("Japanese password" in name for name in names):
        print("Japanese password: %s, in the htpasswd file in UTF-8." % JAPANESE_PASSWORD, file=out)
    for number, reason in enumerate(reasons, 1):
        print("[%d] %s" % (number, reason), file=out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--servers", required=True, help="the folder the FTP servers are unpacked in")
    parser.add_argument("--logs", help="where the logs of failing steps go")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("only", nargs="*", help="only configurations whose names contain one of these")
    args = parser.parse_args()

    chosen = [c for c in CONFIGURATIONS if not args.only or any(o.lower() in c.name.lower() for o in args.only)]
    if not chosen:
        parser.error("no configuration matches %s" % " ".join(args.only))
    logs = args.logs or tempfile.mkdtemp(prefix="n2interop-logs-", dir="/tmp")
    os.makedirs(logs, exist_ok=True)
    own_logs = not args.logs
    work = tempfile.mkdtemp(prefix="n2interop-", dir="/tmp")
    os.chmod(work, 0o755)  # the servers' user reaches its folders inside

    # The FTP user's password lives as long as the run; the account is locked after it.
    password = "n2-" + secrets.token_hex(6)
    subprocess.run(["chpasswd"], input=("%s:%s\n" % (USER, password)).encode(), check=True)
    started = time.monotonic()
    results = []
    try:
        for configuration in chosen:
            run = Run(configuration, args.servers, work, logs, password)
            begin = time.monotonic()
            try:
                run.start()
            except (RuntimeError, OSError, subprocess.CalledProcessError) as failure:
                run.stop()
                run.keep_logs("start", run.server.logs, {p: 0 for p in run.server.logs})
                results.append(["server: %s" % failure] + ["-"] * (len(STEPS) - 1))
                print("%s: the server did not start: %s" % (configuration.name, failure), flush=True)
                continue
            try:
                cells = [run.run_step(step) for step in STEPS]
            finally:
                run.stop()
            results.append(cells)
            print("%s: %d of %d steps passed (%.0f s)" % (configuration.name, cells.count("ok"), len(STEPS),
                                                        time.monotonic() - begin), flush=True)
    finally:
        subprocess.run(["usermod", "--lock", USER], check=False)
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)

    print()
    print_table([c.name + (" (by rule)" if c.by_rule else "") for c in chosen], results)
    print()
    for c in chosen:
        if c.by_rule:
            print("%s (by rule): %s." % (c.name, c.by_rule))
    # A configuration the rule cannot reach fails by design; only the others count.
    failed = any(cell != "ok" for c, cells in zip(chosen, results) if not c.by_rule for cell in cells)
    print("%d configurations in %.0f s" % (len(chosen), time.monotonic() - started))
    if failed:
        print("Logs of the failing steps (servers, hosts' output, job logs): %s" % logs)
    elif own_logs:
        shutil.rmtree(logs, ignore_errors=True)
    return 1 if failed else 0


def inetd(port, command):
    """Runs command on each connection to 127.0.0.1:port, the connection as
    its standard input and output."""
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)  # no zombies
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    while True:
        connection, _ = listener.accept()
        if os.fork() == 0:
            listener.close()
            os.dup2(connection.fileno(), 0)
            os.dup2(connection.fileno(), 1)
            connection.close()
            os.execv(command[0], command)
        connection.close()


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "inetd":
        inetd(int(sys.argv[2]), sys.argv[3:])
    sys.exit(main())
