#!/usr/bin/python3
"""FTP servers for the client's tests, listening on 127.0.0.1 only.

  ftp_test_server.py real   --root DIR --state-dir DIR [--lifetime S] [--rate B]
      A real FTP server (pyftpdlib) for user "n2user", password "n2pass",
      rooted at DIR, with full rights; with --rate, transfers move B bytes
      a second in small blocks either way.
  ftp_test_server.py vsftpd --root DIR --state-dir DIR [--lifetime S] [--rate B]
                            [--no-upload-locks]
      vsftpd for anonymous users (any password), rooted at DIR, which must
      not be writable by the user "ftp" (vsftpd refuses such a root); its
      subfolders given to "ftp" take uploads, overwrites and deletions.
      With --rate, transfers move at most B bytes a second. With
      --no-upload-locks, a file being uploaded is not locked: a download of
      it reads what has arrived so far instead of waiting.
  ftp_test_server.py script --state-dir DIR [--lifetime S]
      A scripted server. A test connects to its control port and sends a
      script, one action a line, ended by a line "end". The server answers
      "port N" with the port of a fresh FTP listener, plays the script against
      the one client that connects there, and when the test sends "done"
      answers with what the client sent and did, one record a line, then
      "end".
  ftp_test_server.py stop --state-dir DIR

"start" modes go to the background: the command returns once the server
listens, having written its port to DIR/port and its process id to DIR/pid.
The server ends by itself after --lifetime seconds (default 1800), or when
DIR/pid disappears.

Script actions (texts take the escapes \\r, \\n, \\\\):
  reply TEXT           send TEXT and CR LF on the control connection
  raw TEXT             send TEXT as it is
  expect               read one command from the client and record "C:<command>"
  sleep MS             wait
  pasv [ADDR [NAMED]]  listen for a data connection on ADDR (127.0.0.1) and
                       send the 227 reply naming its port and the address
                       NAMED (ADDR)
  accept               take the client's data connection (passive)
  connect              connect to the address of the client's last PORT (active)
  send_data N [BLOCK MS]  send N bytes (byte i is i % 251) on the data
                       connection, in blocks of BLOCK bytes MS ms apart
  send_text TEXT       send TEXT on the data connection (a listing, say)
  recv_data            read the data connection to its end, record "D:<count>:pattern"
                       when the bytes are those send_data would send, else "D:<count>:other"
  close_data           close the data connection
  wait_data_close      read and drop data until the client closes the data
                       connection, record "E:data-closed"
  close                close the control connection
  next_client          close the control connection and take the next client
                       that connects to the same port, record "E:next-client"
  wait_close           wait until the client closes the control connection,
                       record "E:closed"
A command that arrives when the client has gone records "E:closed" and ends
the script.
"""

import argparse
import os
import socket
import sys
import threading
import time

from test_server_common import (HOST, STEP_LIMIT, ClientGone, pattern, run_script_server,
                                stop_server, unescape, watchdog, write_port)


class Session:
    def __init__(self, actions, stop):
        self.actions = actions
        self.stop = stop
        self.records = []
        self.ctrl = None
        self.data = None
        self.pasv_listener = None
        self.port_target = None
        self.pending = b""
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((HOST, 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]

    def record(self, text):
        self.records.append(text)

    def wait_readable(self, sock):
        deadline = time.monotonic() + STEP_LIMIT
        sock.settimeout(0.2)
        while not self.stop.is_set() and time.monotonic() < deadline:
            try:
                return sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return b""
        return None

    def accept_on(self, listener):
        deadline = time.monotonic() + STEP_LIMIT
        listener.settimeout(0.2)
        while not self.stop.is_set() and time.monotonic() < deadline:
            try:
                conn, _ = listener.accept()
                conn.settimeout(None)
                return conn
            except socket.timeout:
                continue
        return None

    def read_command(self):
        while b"\n" not in self.pending:
            chunk = self.wait_readable(self.ctrl)
            if not chunk:
                raise ClientGone()
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.rstrip(b"\r").decode("latin-1")

    def run(self):
        try:
            self.ctrl = self.accept_on(self.listener)
            if self.ctrl is None:
                self.record("E:no-client")
                return
            for action in self.actions:
                if self.stop.is_set():
                    break
                verb, _, arg = action.partition(" ")
                getattr(self, "do_" + verb)(arg)
        except ClientGone:
            self.record("E:closed")
        except Exception as e:  # reported to the test through the record
            self.record("E:server-error %s" % e)
        finally:
            for s in (self.data, self.pasv_listener, self.ctrl, self.listener):
                if s is not None:
                    try:
                        s.close()
                    except OSError:
                        pass

    def do_reply(self, arg):
        self.ctrl.sendall((unescape(arg) + "\r\n").encode("latin-1"))

    def do_raw(self, arg):
        self.ctrl.sendall(unescape(arg).encode("latin-1"))

    def do_expect(self, _):
        command = self.read_command()
        self.record("C:" + command)
        if command.upper().startswith("PORT "):
            n = [int(x) for x in command[5:].split(",")]
            self.port_target = ("%d.%d.%d.%d" % tuple(n[:4]), n[4] * 256 + n[5])

    def do_sleep(self, arg):
        self.stop.wait(int(arg) / 1000.0)

    def do_pasv(self, arg):
        parts = arg.split()
        addr = parts[0] if parts else HOST
        named = parts[1] if len(parts) > 1 else addr
        self.pasv_listener = socket.socket()
        self.pasv_listener.bind((addr, 0))
        self.pasv_listener.listen(1)
        port = self.pasv_listener.getsockname()[1]
        text = "227 Entering Passive Mode (%s,%d,%d)" % (named.replace(".", ","), port // 256, port % 256)
        self.do_reply(text)

    def do_accept(self, _):
        self.data = self.accept_on(self.pasv_listener)
        self.record("E:data-accepted" if self.data else "E:no-data-connection")

    def do_connect(self, _):
        self.data = socket.create_connection(self.port_target, timeout=STEP_LIMIT)
        self.record("E:data-connected")

    def do_send_data(self, arg):
        parts = [int(x) for x in arg.split()]
        total = parts[0]
        block = parts[1] if len(parts) > 1 else 65536
        interval = parts[2] / 1000.0 if len(parts) > 2 else 0
        sent = 0
        while sent < total and not self.stop.is_set():
            n = min(block, total - sent)
            try:
                self.data.sendall(pattern(sent, n))
            except OSError:
                self.record("E:data-send-failed")
                return
            sent += n
            if interval and sent < total:
                self.stop.wait(interval)

    def do_send_text(self, arg):
        try:
            self.data.sendall(unescape(arg).encode("latin-1"))
        except OSError:
            self.record("E:data-send-failed")

    def do_recv_data(self, _):
        received = bytearray()
        while True:
            chunk = self.wait_readable(self.data)
            if not chunk:
                break
            received += chunk
        same = bytes(received) == pattern(0, len(received))
        self.record("D:%d:%s" % (len(received), "pattern" if same else "other"))

    def do_close_data(self, _):
        if self.data is not None:
            self.data.close()
            self.data = None

    def do_wait_data_close(self, _):
        while True:
            chunk = self.wait_readable(self.data)
            if not chunk:
                break
        self.record("E:data-closed")

    def do_close(self, _):
        self.ctrl.close()
        self.ctrl = None
        self.record("E:server-closed")
        self.actions = []

    def do_next_client(self, _):
        self.ctrl.close()
        self.pending = b""
        self.ctrl = self.accept_on(self.listener)
        if self.ctrl is None:
            raise ClientGone()
        self.record("E:next-client")

    def do_wait_close(self, _):
        while True:
            chunk = self.wait_readable(self.ctrl)
            if not chunk:
                break
            self.pending += chunk
        self.record("E:closed")


def run_real_server(listener, root, rate=0):
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
    from pyftpdlib.servers import FTPServer
    import logging
    logging.disable(logging.CRITICAL)
    authorizer = DummyAuthorizer()
    authorizer.add_user("n2user", "n2pass", root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    if rate:
        class SlowData(ThrottledDTPHandler):
            # Small blocks, so that a transfer is under way for a while
            # instead of passing in one buffer and then pausing.
            ac_in_buffer_size = 4096
            ac_out_buffer_size = 4096
            read_limit = rate
            write_limit = rate
        handler.dtp_handler = SlowData
    handler.banner = "n2 test server ready"
    server = FTPServer(listener, handler)
    server.serve_forever()


VSFTPD_CONF = """listen=YES
listen_address={host}
listen_port={port}
background=NO
isolate=NO
isolate_network=NO
seccomp_sandbox=NO
anonymous_enable=YES
local_enable=NO
no_anon_password=YES
anon_root={root}
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_umask=022
anon_max_rate={rate}
lock_upload_files={locks}
connect_from_port_20=NO
pasv_enable=YES
xferlog_enable=NO
dirmessage_enable=NO
secure_chroot_dir=/var/run/vsftpd/empty
ftpd_banner=n2 vsftpd ready
"""


def run_vsftpd(state_dir, root, rate, lifetime, upload_locks=True):
    """Runs vsftpd in the foreground of this (background) process until the
    lifetime ends or the pid file disappears; returns once it has ended."""
    import signal
    import subprocess
    os.makedirs("/var/run/vsftpd/empty", exist_ok=True)
    probe = socket.socket()
    probe.bind((HOST, 0))
    port = probe.getsockname()[1]
    probe.close()
    conf = os.path.join(state_dir, "vsftpd.conf")
    with open(conf, "w") as f:
        f.write(VSFTPD_CONF.format(host=HOST, port=port, root=os.path.abspath(root), rate=rate,
                                   locks="YES" if upload_locks else "NO"))
    server = subprocess.Popen(["/usr/sbin/vsftpd", conf], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection((HOST, port), timeout=1).close()
            break
        except OSError:
            if server.poll() is not None:
                return
            time.sleep(0.05)
    write_port(state_dir, port)
    pid_file = os.path.join(state_dir, "pid")
    end = time.monotonic() + lifetime
    while time.monotonic() < end and os.path.exists(pid_file) and server.poll() is None:
        time.sleep(0.2)
    if server.poll() is None:
        server.send_signal(signal.SIGTERM)
        try:
            server.wait(10)
        except subprocess.TimeoutExpired:
            server.kill()


def start(args):
    os.makedirs(args.state_dir, exist_ok=True)
    port_file = os.path.join(args.state_dir, "port")
    for name in ("port", "pid"):
        try:
            os.unlink(os.path.join(args.state_dir, name))
        except FileNotFoundError:
            pass
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((HOST, 0))
    listener.listen(16)
    port = listener.getsockname()[1]
    if os.fork() > 0:
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not os.path.exists(port_file):
            time.sleep(0.05)
        if not os.path.exists(port_file):
            return 1
        with open(port_file) as f:
            print(f.read().strip())
        return 0
    # The server: detached from the caller's session and pipes.
    os.setsid()
    devnull = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(devnull, fd)
    with open(os.path.join(args.state_dir, "pid"), "w") as f:
        f.write(str(os.getpid()))
    try:
        if args.mode == "vsftpd":
            listener.close()
            run_vsftpd(args.state_dir, args.root, args.rate, args.lifetime, not args.no_upload_locks)
            return 0
        write_port(args.state_dir, port)
        threading.Thread(target=watchdog, args=(args.state_dir, args.lifetime), daemon=True).start()
        if args.mode == "real":
            run_real_server(listener, args.root, args.rate)
        else:
            run_script_server(listener, Session)
    finally:
        os._exit(0)


def stop(args):
    return stop_server(args.state_dir)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["real", "vsftpd", "script", "stop"])
    parser.add_argument("--state-dir", required=True)
    parser.add_argument("--root")
    parser.add_argument("--lifetime", type=float, default=1800)
    parser.add_argument("--rate", type=int, default=0)
    parser.add_argument("--no-upload-locks", action="store_true")
    args = parser.parse_args()
    if args.mode == "stop":
        return stop(args)
    if args.mode in ("real", "vsftpd"):
        if not args.root:
            parser.error("real needs --root")
        os.makedirs(args.root, exist_ok=True)
    return start(args)


if __name__ == "__main__":
    sys.exit(main())
