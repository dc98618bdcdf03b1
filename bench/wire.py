#!/usr/bin/python3
"""Counts what crosses the loopback wire to and from a server.

  wire.py PORT [PORT ...]

Captures the IPv4 TCP packets on "lo" (a packet socket: needs root) whose
source or destination port is one of PORT, or a data port that an FTP
server named in a passive reply (227) on one of them; prints "ready" once it
captures, and when it gets SIGTERM or SIGINT, after the packets already
queued, one line:

  packets N ip B payload P up U down D drops X

B counts whole IP packets (IP and TCP headers included), P the TCP payload
of both directions, U and D the payload to and from the server. Other
programs' traffic on the machine's loopback is left out by the ports.
"""

import re
import signal
import socket
import sys

ETH_P_IP = 0x0800
PACKET_OUTGOING = 4
PACKET_STATISTICS = 6
SOL_PACKET = 263
PASV = re.compile(rb"227 [^(\r\n]*\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)")


def main():
    ports = {int(p) for p in sys.argv[1:]}
    if not ports:
        sys.exit(__doc__)
    control = set(ports)
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_IP))
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    sock.bind(("lo", 0))
    sock.settimeout(0.05)
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(1))
    print("ready", flush=True)
    packets = ip_bytes = up = down = 0
    while True:
        try:
            data, address = sock.recvfrom(4096)  # lengths come from the headers
        except socket.timeout:
            if stopping:
                break
            continue
        except InterruptedError:
            continue
        # Each loopback packet is delivered once as received; skip a copy of
        # it as sent, should the kernel hand one over too.
        if address[2] == PACKET_OUTGOING or len(data) < 20 or data[9] != socket.IPPROTO_TCP:
            continue
        header = (data[0] & 0x0F) * 4
        if len(data) < header + 20:
            continue
        total = int.from_bytes(data[2:4], "big")
        source = int.from_bytes(data[header:header + 2], "big")
        target = int.from_bytes(data[header + 2:header + 4], "big")
        if source not in ports and target not in ports:
            continue
        offset = (data[header + 12] >> 4) * 4
        payload = total - header - offset
        packets += 1
        ip_bytes += total
        if target in ports:
            up += payload
        else:
            down += payload
            if source in control and payload:
                for m in PASV.finditer(data[header + offset:]):
                    ports.add(int(m.group(5)) * 256 + int(m.group(6)))
    stats = sock.getsockopt(SOL_PACKET, PACKET_STATISTICS, 8)
    print("packets %d ip %d payload %d up %d down %d drops %d"
          % (packets, ip_bytes, up + down, up, down, int.from_bytes(stats[4:8], "little")), flush=True)


if __name__ == "__main__":
    main()
