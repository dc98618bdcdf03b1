"""What the scripted FTP and HTTP test servers share: the script texts, the
control connection over which a test hands over its script and collects the
record, and the life of a server started in the background by a fixture.

A test connects to a scripted server's control port and sends its script, one
action a line, ended by a line "end". The server answers "port N" with the port
of a fresh listener, plays the script against the one client that connects
there, and when the test sends "done" answers with what the client sent and
did, one record a line, then "end".
"""

import os
import signal
import threading
import time

HOST = "127.0.0.1"
STEP_LIMIT = 60.0  # no single action waits longer than this


def unescape(text):
    """Script texts take the escapes \\r, \\n and \\\\."""
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            out.append({"r": "\r", "n": "\n", "\\": "\\"}.get(n, "\\" + n))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def escape(text):
    return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")


def pattern(offset, count):
    """The bytes a script sends: byte i is i % 251."""
    return bytes((offset + i) % 251 for i in range(count))


class ClientGone(Exception):
    pass


def serve_test(conn, make_session):
    """One test's control connection: read the script, play it, report."""
    conn.settimeout(STEP_LIMIT)
    reader = conn.makefile("r", encoding="latin-1", newline="\n")
    actions = []
    for line in reader:
        line = line.rstrip("\r\n")
        if line == "end":
            break
        if line:
            actions.append(line)
    stop = threading.Event()
    session = make_session(actions, stop)
    conn.sendall(b"port %d\n" % session.port)
    worker = threading.Thread(target=session.run, daemon=True)
    worker.start()
    try:
        conn.settimeout(600)
        reader.readline()  # "done", or the test went away
    except OSError:
        pass
    # Give the script a moment to take in what the client did last.
    worker.join(2.0)
    stop.set()
    worker.join(STEP_LIMIT)
    try:
        conn.sendall(("".join(r + "\n" for r in session.records) + "end\n").encode("latin-1"))
    except OSError:
        pass
    conn.close()


def run_script_server(listener, make_session):
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve_test, args=(conn, make_session), daemon=True).start()


def write_port(state_dir, port):
    """Published whole: a reader never sees half a number."""
    port_file = os.path.join(state_dir, "port")
    tmp = port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(port))
    os.rename(tmp, port_file)


def watchdog(state_dir, lifetime):
    """Ends the server after its lifetime, or once its pid file has gone."""
    pid_file = os.path.join(state_dir, "pid")
    end = time.monotonic() + lifetime
    while time.monotonic() < end:
        time.sleep(1)
        if not os.path.exists(pid_file):
            break
    os._exit(0)


def stop_server(state_dir, grace=15.0):
    """Removes the pid file, which ends the server, and makes sure it went."""
    pid_file = os.path.join(state_dir, "pid")
    try:
        with open(pid_file) as f:
            pid = int(f.read().strip())
        os.unlink(pid_file)
    except (FileNotFoundError, ValueError):
        return 0
    deadline = time.monotonic() + grace
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return 0
        time.sleep(0.1)
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    return 0
