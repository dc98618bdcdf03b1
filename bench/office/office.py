#!/usr/bin/python3
"""A simulated office day: installations of our host (n2host.exe under Wine)
share one address book through a server, and the bytes each one moves are
counted.

  office.py --work DIR --build NAME=BINDIR [--build ...] [--servers pyftpdlib nginx]
            [--hosts 10] [--rounds 48] [--edits-per-host 5] [--cards 1500]

For each build and server: HOSTS installations (a copy of the build's
N2VelmEn.dll with its settings file, and a data folder) start the day in
step (one uploads the book, then every one downloads it: not counted). The
day is ROUNDS rounds; in each, every installation runs the download its
10-minute timer starts (the interval shortened to a second, and the rounds
following each other at once: the timer compressed), all at the same time,
each in a process of its own. EDITS_PER_HOST x HOSTS edits
are spread over the first rounds (edit k by installation k % HOSTS, each on
a card of its own), each right after that installation's download: the
host's edit:CARD:LINE, which waits for the upload the change starts (upload
on change is on). Every build runs in the same host: the n2host.exe of the
last --build (the stand-in for the mail client, not what is compared).

Each installation reaches the server through a relay of its own that counts
the TCP payload passing each way, control and data connections included
(the relay rewrites the FTP passive replies to data ports of its own):
"wire" is that sum over the day. "log" sums the sent and received bytes of
the installation's job log lines of the day (the archives alone; builds
without a job log show "-"). "IP" is every IP packet to and from the server
during the day (bench/wire.py), divided by the installations. At the end the
table tells how many edits reached every installation's book.
"""

import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import n2hosts  # noqa: E402

NET = os.path.join(ROOT, "tests", "net")
PASV = re.compile(rb"^227 [^(]*\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)")
LOG_BYTES = re.compile(r"; sent ([\d,]+) bytes, received ([\d,]+) bytes")


class Relay:
    """A TCP relay in front of a server that counts the bytes passing each
    way; with ftp set, the server's 227 replies name data ports of the
    relay's own, whose connections it passes on and counts as well."""

    def __init__(self, upstream_port, ftp):
        self.upstream_port, self.ftp = upstream_port, ftp
        self.lock = threading.Condition()
        self.up = self.down = self.active = 0
        self.listener = self.listen()
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.serve, args=(self.listener, upstream_port, True), daemon=True).start()

    @staticmethod
    def listen():
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        s.listen(16)
        return s

    def serve(self, listener, port, control, once=False):
        while True:
            try:
                client, _ = listener.accept()
            except OSError:  # closed, or no data connection came
                listener.close()
                return
            try:
                server = socket.create_connection(("127.0.0.1", port))
            except OSError:
                client.close()
                continue
            pair = [client, server]
            with self.lock:
                self.active += 2
            threading.Thread(target=self.pump, args=(client, server, "up", False, pair), daemon=True).start()
            threading.Thread(target=self.pump, args=(server, client, "down", control and self.ftp, pair),
                             daemon=True).start()
            if once:
                listener.close()
                return

    def data_port(self, upstream):
        """A listener of the relay's own for one data connection to upstream."""
        listener = self.listen()
        listener.settimeout(60)
        threading.Thread(target=self.serve, args=(listener, upstream, False, True), daemon=True).start()
        return listener.getsockname()[1]

    def rewrite(self, line):
        m = PASV.match(line)
        if not m:
            return line
        port = self.data_port(int(m.group(5)) * 256 + int(m.group(6)))
        return b"227 Entering Passive Mode (127,0,0,1,%d,%d)\r\n" % (port // 256, port % 256)

    def pump(self, source, sink, way, ftp_replies, pair):
        pending, count = b"", 0
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                count += len(data)
                if ftp_replies:  # whole lines, so that a 227 reply can be rewritten
                    pending += data
                    *lines, pending = pending.split(b"\n")
                    data = b"".join(self.rewrite(x + b"\n") for x in lines)
                sink.sendall(data)
            if pending:
                sink.sendall(pending)
            sink.shutdown(socket.SHUT_WR)
        except OSError:
            for s in pair[:2]:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        finally:
            with self.lock:
                if way == "up":
                    self.up += count
                else:
                    self.down += count
                self.active -= 1
                pair.append(way)
                if len(pair) == 4:  # both ways have ended
                    for s in pair[:2]:
                        s.close()
                self.lock.notify_all()

    def settle(self, limit=10):
        """Waits until every connection has ended; returns (up, down)."""
        with self.lock:
            self.lock.wait_for(lambda: self.active == 0, limit)
            return self.up, self.down

    def close(self):
        self.listener.close()


def start_server(kind, state_dir):
    """Starts pyftpdlib or nginx in the background; returns its port."""
    if kind == "pyftpdlib":
        root = os.path.join(state_dir, "root")
        os.makedirs(root, exist_ok=True)
        args = ["ftp_test_server.py", "real", "--root", root]
    else:
        args = ["http_test_server.py", "nginx"]
    out = subprocess.run(["/usr/bin/python3", os.path.join(NET, args[0])] + args[1:] +
                         ["--state-dir", state_dir, "--lifetime", "7200"],
                         stdout=subprocess.PIPE, check=True, timeout=60)
    return int(out.stdout.split()[-1])


def stop_server(kind, state_dir):
    script = "ftp_test_server.py" if kind == "pyftpdlib" else "http_test_server.py"
    subprocess.run(["/usr/bin/python3", os.path.join(NET, script), "stop", "--state-dir", state_dir], timeout=60)


def server_folder(kind, state_dir, name):
    """The server's folder for the day's book, and its path as the settings name it."""
    if kind == "pyftpdlib":
        return os.path.join(state_dir, "root", name), "/%s/" % name
    return os.path.join(state_dir, "www", "dav", name), "/dav/%s/" % name


class Installation:
    def __init__(self, folder, host_exe, bin_dir, settings, book):
        self.host_exe, self.plugin_dir = host_exe, folder
        self.data_dir = os.path.join(folder, "Data")
        os.makedirs(self.data_dir)
        shutil.copytree(book, os.path.join(self.data_dir, "AddrBook"))
        shutil.copy(os.path.join(bin_dir, "N2VelmEn.dll"), folder)
        with open(os.path.join(folder, "N2VelmEn.ini"), "w", newline="") as f:
            f.write(settings)

    def run(self, *commands, interval_ms=None):
        """Runs the host on this installation; with interval_ms, the plug-in's
        download timer fires that often instead of every 10 minutes."""
        env = dict(os.environ)
        if interval_ms:
            env["N2VELMEN_TEST_DOWNLOAD_INTERVAL_MS"] = str(interval_ms)
        args = [n2hosts.WINE_RUN, self.host_exe, "--answer-boxes", "--version", "2.00.06",
                "--data", n2hosts.winpath(self.data_dir) + "\\",
                "--plugin", n2hosts.winpath(os.path.join(self.plugin_dir, "N2VelmEn.dll"))] + list(commands)
        done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=600, env=env)
        return done.stdout.decode("cp932", "replace").replace("\r", "")

    def log_size(self):
        path = os.path.join(self.data_dir, "N2VelmEn.log")
        return os.path.getsize(path) if os.path.exists(path) else None

    def log_since(self, since):
        """The job log lines written after offset since: their sent plus
        received bytes, and how many downloads moved no archive."""
        if since is None:
            return None, None
        with open(os.path.join(self.data_dir, "N2VelmEn.log"), "rb") as f:
            f.seek(since)
            text = f.read().decode("cp932", "replace")
        moved = sum(int(s.replace(",", "")) + int(r.replace(",", "")) for s, r in LOG_BYTES.findall(text))
        return moved, len(re.findall(r"Download \(.*received 0 bytes", text))

    def card(self, name):
        with open(os.path.join(self.data_dir, "AddrBook", name), "rb") as f:
            return f.read()


def in_parallel(jobs):
    """Runs the callables at once; returns their results in order."""
    results = [None] * len(jobs)

    def run(i):
        results[i] = jobs[i]()
    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


def wire_start(port):
    wire = subprocess.Popen(["/usr/bin/python3", os.path.join(ROOT, "bench", "wire.py"), str(port)],
                            stdout=subprocess.PIPE, text=True)
    if wire.stdout.readline().strip() != "ready":
        raise RuntimeError("wire.py did not start")
    return wire


def wire_stop(wire):
    time.sleep(0.3)
    wire.terminate()
    line = wire.stdout.read()
    wire.wait()
    m = re.search(r"ip (\d+) payload (\d+) .* drops (\d+)", line)
    return (int(m.group(1)), int(m.group(2)), int(m.group(3))) if m else (None, None, None)


def day(args, build, bin_dir, kind, port, state_dir, book):
    """One office day of build against the server; returns its figures."""
    name = "office-%s" % build
    folder, path = server_folder(kind, state_dir, name)
    os.makedirs(folder, exist_ok=True)
    if kind == "pyftpdlib":
        user, password = "n2user", "n2pass"
    else:
        user = password = ""
    relays = [Relay(port, kind == "pyftpdlib") for _ in range(args.hosts)]
    hosts = []
    for i, relay in enumerate(relays):
        settings = n2hosts.settings_text(0 if kind == "pyftpdlib" else 1, "127.0.0.1:%d" % relay.port, path,
                                         user=user, password=password, upload=1, auto=1)
        hosts.append(Installation(os.path.join(args.work, "%s-%s-h%d" % (kind, build, i)), args.host_exe, bin_dir,
                                  settings, book))

    # The evening before: one installation sends the book, every one agrees with it.
    boxes = []
    out = hosts[0].run("start", "upload", "exit")
    boxes += [x for x in out.splitlines() if x.startswith("box:")]
    outs = [h.run("start", "download", "exit") for h in hosts]
    boxes += [x for o in outs for x in o.splitlines() if x.startswith("box:")]
    if boxes:
        print("  %s %s, before the day: %s" % (kind, build, boxes), file=sys.stderr)
    before = [r.settle() for r in relays]
    logs = [h.log_size() for h in hosts]

    # The day.
    edits = args.edits_per_host * args.hosts
    last = max(1, args.rounds - 3)  # the last rounds bring the last edits to every book
    plan = {}  # round -> [(host, card, line)]
    for k in range(edits):
        r = 1 + k * last // edits
        plan.setdefault(r, []).append((k % args.hosts, "card%05d.vcf" % (5 * k),
                                       "NOTE:office edit %d by h%d" % (k, k % args.hosts)))
    wire = wire_start(port)
    began = time.monotonic()
    boxes, failed = [], []
    for r in range(1, args.rounds + 1):
        commands = [["--times", "start", "timer"] for _ in hosts]
        for h, card, line in plan.get(r, []):
            commands[h].append("edit:%s:%s" % (card, line))
        outs = in_parallel([lambda h=h, c=c: h.run(*c, "exit", interval_ms=1000) for h, c in zip(hosts, commands)])
        for i, out in enumerate(outs):
            boxes += [x for x in out.splitlines() if x.startswith("box:")]
            wanted = 1 + sum(1 for c in commands[i] if c.startswith("edit:"))
            if sum(1 for x in out.splitlines() if re.match(r"(timer|edit): done", x)) != wanted:
                failed.append((r, i, out))
    seconds = time.monotonic() - began
    ip_bytes, _, drops = wire_stop(wire)
    after = [r.settle() for r in relays]
    for r in relays:
        r.close()

    wire_bytes = [a[0] + a[1] - b[0] - b[1] for a, b in zip(after, before)]
    log_bytes, skipped = zip(*(h.log_since(since) for h, since in zip(hosts, logs)))
    reached = 0
    for k in range(edits):
        line = ("NOTE:office edit %d by h%d" % (k, k % args.hosts)).encode()
        reached += all(line in h.card("card%05d.vcf" % (5 * k)) for h in hosts)
    for r, i, out in failed[:3]:
        print("  %s %s round %d host %d did not finish its jobs:\n%s" % (kind, build, r, i, out), file=sys.stderr)
    return {"wire": wire_bytes, "log": log_bytes, "skipped": skipped, "ip": ip_bytes, "drops": drops, "reached": reached,
            "edits": edits, "boxes": boxes, "failed": len(failed), "seconds": seconds}


def kb(n):
    return "-" if n is None else "{:,.0f}".format(n / 1024)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--build", action="append", required=True, help="NAME=FOLDER holding n2host.exe and N2VelmEn.dll")
    parser.add_argument("--servers", nargs="+", default=["pyftpdlib", "nginx"])
    parser.add_argument("--hosts", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=48)
    parser.add_argument("--edits-per-host", type=int, default=5)
    parser.add_argument("--cards", type=int, default=1500)
    args = parser.parse_args()
    builds = [b.split("=", 1) for b in args.build]
    args.host_exe = os.path.join(builds[-1][1], "n2host.exe")

    book = os.path.join(args.work, "book")
    subprocess.run(["/usr/bin/python3", os.path.join(ROOT, "bench", "make_book.py"), "make", book, str(args.cards)],
                   check=True)
    results = []
    for kind in args.servers:
        state_dir = os.path.join(args.work, kind)
        port = start_server(kind, state_dir)
        try:
            for build, bin_dir in builds:
                print("%s, %s build: a day of %d rounds, %d installations ..." % (kind, build, args.rounds, args.hosts),
                      file=sys.stderr, flush=True)
                result = day(args, build, bin_dir, kind, port, state_dir, book)
                archive = os.path.join(server_folder(kind, state_dir, "office-" + build)[0], "N2AddBook.zip")
                result["archive"] = os.path.getsize(archive) if os.path.exists(archive) else 0
                results.append((kind, build, result))
        finally:
            stop_server(kind, state_dir)

    print("office day: %d installations, %d rounds of downloads, %d edits (each uploaded on change), "
          "book of %d cards; load average %s" % (args.hosts, args.rounds, args.hosts * args.edits_per_host,
                                                 args.cards, " ".join(open("/proc/loadavg").read().split()[:3])))
    print("KB per installation per day: wire = TCP payload through its relay (mean, min-max), log = its job log's "
          "sent + received, IP = IP packets to and from the server / installations")
    print("(\"skipped\": downloads per installation that moved no archive, by its job log)")
    print("%-10s %-8s %9s %9s %15s %9s %9s %8s %8s %6s %6s %7s" % (
        "server", "build", "archive", "wire", "wire min-max", "log", "IP", "skipped", "reached", "boxes", "failed",
        "seconds"))
    for kind, build, r in results:
        logs = [x for x in r["log"] if x is not None]
        skipped = [x for x in r["skipped"] if x is not None]
        print("%-10s %-8s %9s %9s %15s %9s %9s %8s %8s %6d %6d %7.0f" % (
            kind, build, kb(r["archive"]), kb(sum(r["wire"]) / len(r["wire"])),
            "%s-%s" % (kb(min(r["wire"])), kb(max(r["wire"]))), kb(sum(logs) / len(logs) if logs else None),
            kb(r["ip"] / args.hosts if r["ip"] is not None else None),
            "%.1f" % (sum(skipped) / len(skipped)) if skipped else "-", "%d/%d" % (r["reached"], r["edits"]),
            len(r["boxes"]), r["failed"], r["seconds"]))
        if r["drops"]:
            print("  (the capture dropped %d packets: IP is short)" % r["drops"])
    for kind, build, r in results:
        for text in sorted(set(r["boxes"]))[:5]:
            print("  %s %s box (%d times): %s" % (kind, build, r["boxes"].count(text), text[5:200]))
    by = {(k, b): r for k, b, r in results}
    for kind in args.servers:
        if (kind, "before") in by and (kind, "after") in by:
            old, new = (sum(by[(kind, b)]["wire"]) for b in ("before", "after"))
            print("%s: after / before = %.3f of the bytes on the wire" % (kind, new / old if old else float("nan")))


if __name__ == "__main__":
    main()
