#!/usr/bin/python3
"""HTTP servers for the client's tests, listening on 127.0.0.1 only.

  http_test_server.py nginx  --state-dir DIR [--lifetime S] [--slow-rate B]
      A real server (nginx) rooted at DIR/www: /dav/ takes PUT, /auth/ takes
      PUT and GET for user "n2user", password "n2pass" (Basic), /slow/ takes
      PUT and answers GET at B bytes a second (unlimited by default).
  http_test_server.py script --state-dir DIR [--lifetime S]
      A scripted server. A test connects to its control port and sends a
      script, one action a line, ended by a line "end". The server answers
      "port N" with the port of a fresh HTTP listener, plays the script
      against the clients that connect there, and when the test sends "done"
      answers with what the clients sent, one record a line, then "end".
  http_test_server.py stop --state-dir DIR

Start modes go to the background: the command returns once the server
listens, having written its port to DIR/port. The server ends by itself after
--lifetime seconds (default 1800), or when DIR/pid disappears (stop).

Script actions (texts take the escapes \\r, \\n, \\\\):
  accept          take the next connection, record "E:accepted"
  request         read one request: record "X:<the header block, escaped>",
                  then read the body its Content-Length announces and record
                  "B:<count>:<pattern|other>" (pattern: byte i is i % 251)
  send TEXT       send TEXT as it is
  body N          send N bytes of the pattern
  sleep MS        wait
  close           close the connection, record "E:server-closed"
  wait_close      wait until the client closes the connection, record "E:closed"
A client that goes away while the server reads records "E:closed" and ends
the script.
"""

import argparse
import os
import signal
import socket
import subprocess
import sys
import threading
import time

from test_server_common import (HOST, STEP_LIMIT, ClientGone, escape, pattern, run_script_server,
                                stop_server, unescape, watchdog, write_port)


class Session:
    def __init__(self, actions, stop):
        self.actions = actions
        self.stop = stop
        self.records = []
        self.conn = None
        self.pending = b""
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((HOST, 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]

    def record(self, text):
        self.records.append(text)

    def read_some(self):
        deadline = time.monotonic() + STEP_LIMIT
        self.conn.settimeout(0.2)
        while not self.stop.is_set() and time.monotonic() < deadline:
            try:
                return self.conn.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return b""
        return None

    def run(self):
        try:
            for action in self.actions:
                if self.stop.is_set():
                    break
                verb, _, arg = action.partition(" ")
                getattr(self, "do_" + verb)(arg)
        except ClientGone:
            self.record("E:closed")
        except Exception as e:  # reported to the test through the records
            self.record("E:server-error %s" % e)
        finally:
            for s in (self.conn, self.listener):
                if s is not None:
                    try:
                        s.close()
                    except OSError:
                        pass

    def do_accept(self, _):
        if self.conn is not None:
            self.conn.close()
        self.pending = b""
        deadline = time.monotonic() + STEP_LIMIT
        self.listener.settimeout(0.2)
        while not self.stop.is_set() and time.monotonic() < deadline:
            try:
                self.conn, _ = self.listener.accept()
                self.record("E:accepted")
                return
            except socket.timeout:
                continue
        self.record("E:no-client")
        raise ClientGone()

    def do_request(self, _):
        while b"\r\n\r\n" not in self.pending:
            chunk = self.read_some()
            if not chunk:
                raise ClientGone()
            self.pending += chunk
        header, self.pending = self.pending.split(b"\r\n\r\n", 1)
        text = header.decode("latin-1") + "\r\n\r\n"
        self.record("X:" + escape(text))
        length = 0
        for line in text.split("\r\n")[1:]:
            name, _, value = line.partition(":")
            if name.strip().lower() == "content-length":
                length = int(value.strip())
        while len(self.pending) < length:
            chunk = self.read_some()
            if not chunk:
                raise ClientGone()
            self.pending += chunk
        body, self.pending = self.pending[:length], self.pending[length:]
        self.record("B:%d:%s" % (length, "pattern" if body == pattern(0, length) else "other"))

    def do_send(self, arg):
        self.conn.sendall(unescape(arg).encode("latin-1"))

    def do_body(self, arg):
        self.conn.sendall(pattern(0, int(arg)))

    def do_sleep(self, arg):
        self.stop.wait(int(arg) / 1000.0)

    def do_close(self, _):
        self.conn.close()
        self.conn = None
        self.record("E:server-closed")

    def do_wait_close(self, _):
        while True:
            chunk = self.read_some()
            if not chunk:
                break
        self.record("E:closed")


NGINX_CONF = """
user root;
worker_processes 1;
daemon off;
pid {dir}/nginx.pid;
error_log {dir}/error.log;
events {{ worker_connections 64; }}
http {{
  access_log off;
  client_body_temp_path {dir}/tmp/body;
  proxy_temp_path {dir}/tmp/proxy;
  fastcgi_temp_path {dir}/tmp/fastcgi;
  uwsgi_temp_path {dir}/tmp/uwsgi;
  scgi_temp_path {dir}/tmp/scgi;
  client_max_body_size 200m;
  default_type application/octet-stream;
  server {{
    listen {host}:{port};
    root {dir}/www;
    location /dav/ {{
      dav_methods PUT;
      create_full_put_path on;
    }}
    location /slow/ {{
      limit_rate {slow_rate};
      dav_methods PUT;
      create_full_put_path on;
    }}
    location /auth/ {{
      auth_basic "n2 test";
      auth_basic_user_file {dir}/htpasswd;
      dav_methods PUT;
      create_full_put_path on;
    }}
  }}
}}
"""


def free_port():
    s = socket.socket()
    s.bind((HOST, 0))
    port = s.getsockname()[1]
    s.close()
    return port


def run_nginx(state_dir, lifetime, slow_rate=0):
    """Runs nginx in the foreground of this (background) process until the
    lifetime ends or the pid file disappears; returns its port through DIR/port."""
    for sub in ("www/dav", "www/auth", "www/slow", "tmp"):
        os.makedirs(os.path.join(state_dir, sub), exist_ok=True)
    with open(os.path.join(state_dir, "htpasswd"), "w") as f:
        f.write("n2user:{PLAIN}n2pass\n")
    port = free_port()
    conf = os.path.join(state_dir, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF.format(dir=state_dir, host=HOST, port=port, slow_rate=slow_rate))
    nginx = subprocess.Popen(["/usr/sbin/nginx", "-c", conf, "-p", state_dir, "-e", os.path.join(state_dir, "error.log")],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection((HOST, port), timeout=1).close()
            break
        except OSError:
            if nginx.poll() is not None:
                return 1
            time.sleep(0.05)
    write_port(state_dir, port)
    pid_file = os.path.join(state_dir, "pid")
    end = time.monotonic() + lifetime
    while time.monotonic() < end and os.path.exists(pid_file) and nginx.poll() is None:
        time.sleep(0.5)
    if nginx.poll() is None:
        nginx.send_signal(signal.SIGQUIT)
        try:
            nginx.wait(10)
        except subprocess.TimeoutExpired:
            nginx.kill()
    return 0


def start(args):
    args.state_dir = os.path.abspath(args.state_dir)
    os.makedirs(args.state_dir, exist_ok=True)
    port_file = os.path.join(args.state_dir, "port")
    for name in ("port", "pid"):
        try:
            os.unlink(os.path.join(args.state_dir, name))
        except FileNotFoundError:
            pass
    listener = None
    if args.mode == "script":
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((HOST, 0))
        listener.listen(16)
    if os.fork() > 0:
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and not os.path.exists(port_file):
            time.sleep(0.05)
        if os.path.exists(port_file):
            with open(port_file) as f:
                print(f.read().strip())
            return 0
        return 1
    # The server: detached from the caller's session and pipes.
    os.setsid()
    devnull = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(devnull, fd)
    with open(os.path.join(args.state_dir, "pid"), "w") as f:
        f.write(str(os.getpid()))
    try:
        if args.mode == "nginx":
            run_nginx(args.state_dir, args.lifetime, args.slow_rate)
        else:
            write_port(args.state_dir, listener.getsockname()[1])
            threading.Thread(target=watchdog, args=(args.state_dir, args.lifetime), daemon=True).start()
            run_script_server(listener, Session)
    finally:
        os._exit(0)


def stop(args):
    return stop_server(args.state_dir)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["nginx", "script", "stop"])
    parser.add_argument("--state-dir", required=True)
    parser.add_argument("--lifetime", type=float, default=1800)
    parser.add_argument("--slow-rate", type=int, default=0)
    args = parser.parse_args()
    if args.mode == "stop":
        return stop(args)
    return start(args)


if __name__ == "__main__":
    sys.exit(main())
