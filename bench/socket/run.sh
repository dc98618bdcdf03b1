#!/usr/bin/env bash
# TAsyncSocket and plain blocking Winsock side by side, both under Wine, moving
# MB megabytes (default 100) to and from a Python peer on 127.0.0.1; also the
# same transfers on the Linux side, outside Wine: bash's /dev/tcp sending,
# curl (telnet://) receiving. "ours" sends 1460 bytes per OnDataSent as the
# FTP client does; "ours-bulk" sends 64 KB per OnDataSent.
#   N2_BUILD_DIR  build folder holding win/ (default: build/ in the checkout)
#   WINEPREFIX    Wine prefix to use
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${N2_BUILD_DIR:-$root/build}
exe=$(find "$build/win" -name socket_bench.exe | head -1)
[ -n "$exe" ] || { echo "socket_bench.exe not built (cmake --build $build/win --target socket_bench)"; exit 1; }
mb=${MB:-100}
source "$root/scripts/test-env.sh"

# One peer connection: "sink" reads everything, "source" sends mb megabytes; then it exits.
peer() {
  /usr/bin/python3 - "$1" "$mb" <<'PY' &
import socket, sys
mode, mb = sys.argv[1], int(sys.argv[2])
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(1); s.settimeout(120)
print(s.getsockname()[1], flush=True)
c, _ = s.accept(); c.settimeout(120)
if mode == "sink":
    while c.recv(1 << 16): pass
else:
    block = b"y" * (1 << 16)
    for _ in range(mb * 16): c.sendall(block)
c.close()
PY
}
run() {  # run <who> <send|recv>
  local mode=sink; [ "$2" = recv ] && mode=source
  exec 3< <(peer "$mode")
  read -r port <&3
  if [ "$1" = linux ]; then
    local start end
    start=$(date +%s.%N)
    if [ "$2" = send ]; then head -c $((mb << 20)) /dev/zero > "/dev/tcp/127.0.0.1/$port"
    else curl -s "telnet://127.0.0.1:$port" </dev/null >/dev/null; fi
    end=$(date +%s.%N)
    awk -v s="$start" -v e="$end" -v m="$mb" 'BEGIN {printf "%.1f\n", m / (e - s)}'
  else
    wine "$exe" "$1" "$2" "$port" "$mb" | tr -d '\r'
  fi
  exec 3<&-
  wait
}
printf "%-8s %14s %14s\n" "" "send MB/s" "receive MB/s"
for who in ours ours-bulk plain linux; do
  printf "%-8s %14s %14s\n" "$who" "$(run $who send)" "$(run $who recv)"
done
