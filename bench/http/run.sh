#!/usr/bin/env bash
# Our HTTP client under Wine and curl, side by side against one nginx on
# 127.0.0.1 (WebDAV PUT):
#   - PUT and GET of a 1 MB file as a job does them, median of RUNS runs
#     (curl: one process per request);
#   - PUT and GET of a 50 MB file, in MB/s.
#   N2_BUILD_DIR  build folder holding win/ (default: build/ in the checkout)
#   WINEPREFIX    Wine prefix to use
#   RUNS          repetitions of the 1 MB requests (default 9)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${N2_BUILD_DIR:-$root/build}
bench_exe=$(find "$build/win" -name http_bench.exe | head -1)
[ -n "$bench_exe" ] || { echo "http_bench.exe not built (cmake --build $build/win --target http_bench)"; exit 1; }
runs=${RUNS:-9}
source "$root/scripts/test-env.sh"
server="$root/tests/net/http_test_server.py"
work=$(mktemp -d /tmp/n2httpbench.XXXXXX)
cleanup() { /usr/bin/python3 "$server" stop --state-dir "$work/state" || true; rm -rf "$work"; }
trap cleanup EXIT
mkdir -p "$work/local"
head -c $((1 << 20)) /dev/urandom > "$work/local/one.bin"
head -c $((50 << 20)) /dev/urandom > "$work/local/fifty.bin"
port=$(/usr/bin/python3 "$server" nginx --state-dir "$work/state" --lifetime 900)
url="http://127.0.0.1:$port/dav"

curl_time() { curl -s -S -o /dev/null -w '%{time_total}\n' "$@"; }
median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
c_put1=$(for i in $(seq "$runs"); do curl_time -T "$work/local/one.bin" "$url/curl-one.bin"; done | median)
c_get1=$(for i in $(seq "$runs"); do curl_time "$url/curl-one.bin"; done | median)
c_put50=$(curl_time -T "$work/local/fifty.bin" "$url/curl-fifty.bin")
c_get50=$(curl_time "$url/curl-fifty.bin")

winpath() { echo "Z:$(echo "$1" | tr / '\\')\\"; }
ours=$(wine "$bench_exe" "$port" "$(winpath "$work/local")" "$runs" | tr -d '\r')
get() { echo "$ours" | awk -v k="$1" '$1 == k {print $2}'; }
cmp -s "$work/local/fifty.bin" "$work/state/www/dav/ours-fifty.bin" || echo "WARNING: 50 MB upload differs"
cmp -s "$work/local/fifty.bin" "$work/local/ours-fifty-down.bin" || echo "WARNING: 50 MB download differs"
[ "$(get failures)" = "0" ] || echo "WARNING: $(get failures) requests failed or returned wrong bytes"

awk -v cp1="$c_put1" -v cg1="$c_get1" -v cp50="$c_put50" -v cg50="$c_get50" \
    -v op1="$(get put1_ms)" -v og1="$(get get1_ms)" -v op50="$(get put50_mbps)" -v og50="$(get get50_mbps)" 'BEGIN {
  printf "%-30s %12s %12s %8s\n", "", "ours", "curl", "ratio"
  printf "%-30s %9.1f ms %9.1f ms %7.2fx\n", "1 MB PUT (median)", op1, cp1 * 1000, op1 / (cp1 * 1000)
  printf "%-30s %9.1f ms %9.1f ms %7.2fx\n", "1 MB GET (median)", og1, cg1 * 1000, og1 / (cg1 * 1000)
  printf "%-30s %7.1f MB/s %7.1f MB/s %7.2f\n", "50 MB PUT throughput", op50, 50 / cp50, op50 / (50 / cp50)
  printf "%-30s %7.1f MB/s %7.1f MB/s %7.2f\n", "50 MB GET throughput", og50, 50 / cg50, og50 / (50 / cg50)
}'
