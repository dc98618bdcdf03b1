#!/usr/bin/env bash
# Whole jobs on large address books, in our host (n2host.exe under Wine)
# against pyftpdlib on 127.0.0.1: for each book, host A uploads it ("Upload
# Now"), uploads again after one card changed (the other cards' data copied
# from the previous archive), and host B downloads it into an empty book and
# again after that one card changed. Prints each job's time (from the button
# press to the job's end, as our host measures it) and the host's peak
# working set after the job beside the idle host's (the peak before any job).
# The books (the same bytes on every run):
#   photos     2,000 cards with a photo of 60-120 KB each (random bytes, as
#              JPEG data is to a compressor), 193 MB
#   one-large  one card of 150 MB among 100 small ones
#   small      60,000 small cards (1-2 KB), in 20 folders
#   BOOKS      which of them (default all three)
#   N2_BUILD_DIR, WINEPREFIX, BENCH_DIR as for bench/job/run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${N2_BUILD_DIR:-$root/build}
bin=$build/win/bin
[ -f "$bin/n2host.exe" ] && [ -f "$bin/N2VelmEn.dll" ] ||
  { echo "n2host.exe or N2VelmEn.dll not built (cmake --build $build/win --target n2host N2VelmEn)"; exit 1; }
books=${BOOKS:-photos one-large small}
source "$root/scripts/test-env.sh"
source "$root/bench/work_folder.sh"
work=$(bench_work_folder n2bigbench)
cleanup() {
  /usr/bin/python3 "$root/tests/net/ftp_test_server.py" stop --state-dir "$work/ftp" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }

make_book() {  # make_book FOLDER KIND
  /usr/bin/python3 - "$1" "$2" <<'PY'
import os, random, sys
folder, kind = sys.argv[1], sys.argv[2]
rnd = random.Random(20)
def card(path, size, photo=0):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    text = ("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:%s\r\n" % os.path.basename(path)).encode()
    text += b"NOTE:" + b" ".join(rnd.choice([b"alpha", b"street", b"phone", b"meeting"]) for _ in range(size // 7)) + b"\r\n"
    if photo:
        text += b"PHOTO;ENCODING=b;TYPE=JPEG:" + rnd.randbytes(photo) + b"\r\n"
    with open(path, "wb") as f:
        f.write(text + b"END:VCARD\r\n")
if kind == "photos":
    for i in range(2000):
        card(os.path.join(folder, "card%05d.vcf" % i), 1000, rnd.randint(60000, 120000))
elif kind == "one-large":
    for i in range(100):
        card(os.path.join(folder, "card%05d.vcf" % i), 1000)
    card(os.path.join(folder, "large.vcf"), 1000, 150 << 20)
else:
    for i in range(60000):
        card(os.path.join(folder, "f%02d" % (i % 20), "card%05d.vcf" % i), rnd.randint(1000, 2000))
PY
}
touch_card() {  # touch_card FOLDER: changes the same card every time
  local card
  card=$(find "$1" -name 'card00042.vcf' | head -1)
  printf 'NOTE:changed %s\r\n' "$(date +%s%N)" >>"$card"
}

mkdir -p "$work/server/shared"
port=$(/usr/bin/python3 "$root/tests/net/ftp_test_server.py" real --state-dir "$work/ftp" --root "$work/server" \
         --lifetime 3600)
sandbox() {  # sandbox DIR
  rm -rf "$1"
  mkdir -p "$1/Data"
  cp "$bin/N2VelmEn.dll" "$1/"
  printf '[Setup]\r\nUserName=n2user\r\nPasswd=n2pass\r\nChkUpload=0\r\nChkAuto=0\r\nChkStart=0\r\nChkClose=0\r\n\r\n[Server]\r\nType=0\r\nChkPassive=1\r\nServerName=127.0.0.1:%s\r\nPath=/shared/\r\n' \
    "$port" >"$1/N2VelmEn.ini"
}
job() {  # job LABEL DIR COMMAND: one job, its time and the peaks
  local out idle peak t
  out=$(wine "$bin/n2host.exe" --answer-boxes --times --job-limit 900 --data "$(winpath "$2/Data")" \
          --plugin "$(winpath "$2/N2VelmEn.dll")" start memory "$3" memory exit unload | tr -d '\r')
  grep -q "^$3: done" <<<"$out" && ! grep -q '^box:' <<<"$out" ||
    echo "WARNING: $1: $(grep -E "^($3|box):" <<<"$out" | tr '\n' ' ')" >&2
  t=$(sed -n "s/^$3: done \([0-9]*\) \([0-9]*\)$/\1 \2/p" <<<"$out" | awk '{ printf "%.2f", ($2 - $1) / 1000 }')
  idle=$(grep '^memory:' <<<"$out" | sed -n '1s/.*working set \([0-9]*\) KB.*/\1/p' | awk '{ printf "%.1f", $1 / 1024 }')
  peak=$(grep '^memory:' <<<"$out" | sed -n '2s/.*working set \([0-9]*\) KB.*/\1/p' | awk '{ printf "%.1f", $1 / 1024 }')
  printf '%-12s %-34s %8s %10s %10s %10s\n' "$book" "$1" "$t" "$idle" "$peak" \
    "$(awk -v a="$peak" -v b="$idle" 'BEGIN { printf "%+.1f", a - b }')"
}

printf '%-12s %-34s %8s %10s %10s %10s\n' book job seconds "idle MB" "peak MB" "above"
for book in $books; do
  sandbox "$work/a"
  sandbox "$work/b"
  rm -f "$work/server/shared/"*
  make_book "$work/a/Data/AddrBook" "$book"
  sleep 2.5  # older than the index's two seconds: the next pack takes them over
  job "upload" "$work/a" upload
  touch_card "$work/a/Data/AddrBook"
  job "upload, one card changed" "$work/a" upload
  job "download into an empty book" "$work/b" download
  touch_card "$work/a/Data/AddrBook"
  job "(upload, one card changed)" "$work/a" upload >/dev/null
  job "download, one card changed" "$work/b" download
  diff -r -q "$work/a/Data/AddrBook" "$work/b/Data/AddrBook" >&2 || echo "WARNING: $book: the books differ" >&2
  rm -rf "$work/a" "$work/b"
done
