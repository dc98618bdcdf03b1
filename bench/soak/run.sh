#!/usr/bin/env bash
# A long run of the plug-in in our host against a real server: at least JOBS
# jobs (default 1000), uploads on change driven by edits of a card alternating
# with the 10-minute timer's downloads, whose interval the test variable
# N2VELMEN_TEST_DOWNLOAD_INTERVAL_MS shortens to INTERVAL_MS (default 100).
# The host prints the process's private bytes, handles and GDI and USER
# objects at the start, after a warm-up of 50 jobs, every quarter of the run
# and at the end; the script prints them side by side and the growth from the
# warm-up to the end. Under Wine, GetProcessHandleCount and GetGuiResources
# report nothing: the host's own counts (handle table, GDI table, windows)
# stand in for them.
#   SERVER        ftp (pyftpdlib, default) or http (nginx)
#   JOBS          jobs after the warm-up (default 1000)
#   INTERVAL_MS   the shortened download interval (default 100)
#   N2_BUILD_DIR  build folder holding win/ (default: build/ in the checkout)
#   WINEPREFIX    Wine prefix to use
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${N2_BUILD_DIR:-$root/build}
bin=$build/win/bin
[ -f "$bin/n2host.exe" ] && [ -f "$bin/N2VelmEn.dll" ] || { echo "build first (bash scripts/test.sh, or cmake --build $build/win --target n2host)"; exit 1; }
server=${SERVER:-ftp}
jobs=${JOBS:-1000}
quarter=$(( (jobs + 3) / 4 ))
source "$root/scripts/test-env.sh"
work=$(mktemp -d /tmp/n2soak.XXXXXX)
state=$work/state
cleanup() {
  case "$server" in
    ftp) /usr/bin/python3 "$root/tests/net/ftp_test_server.py" stop --state-dir "$state" || true ;;
    http) /usr/bin/python3 "$root/tests/net/http_test_server.py" stop --state-dir "$state" || true ;;
  esac
  rm -rf "$work"
}
trap cleanup EXIT

case "$server" in
  ftp)
    mkdir -p "$work/root/soak"
    port=$(/usr/bin/python3 "$root/tests/net/ftp_test_server.py" real --state-dir "$state" --root "$work/root" --lifetime 7200)
    type=0 path=/soak/ ;;
  http)
    port=$(/usr/bin/python3 "$root/tests/net/http_test_server.py" nginx --state-dir "$state" --lifetime 7200)
    type=1 path=/dav/soak/ ;;
  *) echo "SERVER must be ftp or http"; exit 2 ;;
esac

# The installation: upload on change and the timer's downloads on.
mkdir -p "$work/inst/Data/AddrBook"
cp "$bin/N2VelmEn.dll" "$work/inst/"
printf '[Setup]\r\nUserName=n2user\r\nPasswd=n2pass\r\nChkUpload=1\r\nChkAuto=1\r\nChkStart=0\r\nChkClose=0\r\n\r\n[Server]\r\nType=%s\r\nChkPassive=1\r\nServerName=127.0.0.1:%s\r\nPath=%s\r\n' \
  "$type" "$port" "$path" >"$work/inst/N2VelmEn.ini"
for i in $(seq -w 1 50); do
  printf 'BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Person %s\r\nEMAIL:person%s@example.org\r\nEND:VCARD\r\n' "$i" "$i" \
    >"$work/inst/Data/AddrBook/card$i.vcf"
done
winpath() { local path=${1//\//\\}; echo "Z:$path"; }

# The first upload by hand puts the book on the server, so that no download
# meets a server without one (over HTTP a 404, which shows its box).
commands=(start upload resources "soak:50:soak.vcf" resources)
for _ in 1 2 3 4; do commands+=("soak:$quarter:soak.vcf" resources); done
commands+=(exit)
started=$(date +%s)
out=$(N2VELMEN_TEST_DOWNLOAD_INTERVAL_MS=${INTERVAL_MS:-100} wine "$bin/n2host.exe" --answer-boxes \
        --data "$(winpath "$work/inst/Data")\\" --plugin "$(winpath "$work/inst/N2VelmEn.dll")" "${commands[@]}" | tr -d '\r')
seconds=$(( $(date +%s) - started ))

echo "$out" | grep -E '^soak:' || true
boxes=$(echo "$out" | grep -c '^box:' || true)
# Message boxes are job errors: each text once, with how often it came.
echo "$out" | grep '^box:' | sort | uniq -c || true
echo "$out" | awk -v server="$server" -v seconds="$seconds" -v boxes="$boxes" '
  /^soak: [0-9]+ jobs/ { done += $2 }
  /^resources:/ {
    n++
    for (i = 2; i <= NF; i++) { split($i, kv, "="); v[n, kv[1]] = kv[2] }
    at[n] = done
  }
  END {
    printf "%s server, %d jobs in %d s, %d message boxes\n\n", server, done, seconds, boxes
    printf "%-16s %14s %10s %10s %10s %10s %10s %10s\n", "", "private bytes", "handles", "gdi", "user", \
           "handles*", "gdi*", "windows*"
    for (i = 1; i <= n; i++)
      printf "%-16s %14d %10d %10d %10d %10d %10d %10d\n", (i == 1 ? "start" : "after " at[i] " jobs"), \
             v[i, "private"], v[i, "handles"], v[i, "gdi"], v[i, "user"], v[i, "counted-handles"], \
             v[i, "counted-gdi"], v[i, "counted-windows"]
    printf "%-16s %+14d %+10d %+10d %+10d %+10d %+10d %+10d\n", "growth", \
           v[n, "private"] - v[2, "private"], v[n, "handles"] - v[2, "handles"], v[n, "gdi"] - v[2, "gdi"], \
           v[n, "user"] - v[2, "user"], v[n, "counted-handles"] - v[2, "counted-handles"], \
           v[n, "counted-gdi"] - v[2, "counted-gdi"], v[n, "counted-windows"] - v[2, "counted-windows"]
    print "\n(growth: from the warm-up to the end; * counted by the host, as Wine reports no handles or GUI objects)"
  }'
