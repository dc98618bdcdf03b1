#!/usr/bin/env bash
# Our zip component under Wine beside Info-ZIP on the same generated address
# book of 5,000 vCard-like files (1-4 KB, a few subfolders), in one run:
#   W1  full pack                         zip -9 -r into a new archive
#   W2  unpack over an equal book         unzip -o
#   W3  unpack into an empty folder       unzip
#   W4  re-pack after one card changed    zip -FS -9 -r (Info-ZIP's incremental
#                                         mode), and zip -9 -r from scratch
# Ours is timed inside the process (zip_bench) and with Wine's start-up. The
# floor column is what the plain Windows file operations of each workload cost
# under Wine on the same book (floor_bench, listed below the table): W1 lists,
# then reads every file and deflates it at level 9 on three threads (the least
# a full pack does), W2 lists and reads every file, W3 creates every file under
# a new name on three threads, W4 lists.
# Each figure is the median of RUNS runs; the archive sizes of W1 are printed too.
#   N2_BUILD_DIR  build folder holding win/ (default: build/ in the checkout)
#   WINEPREFIX    Wine prefix to use
#   RUNS          repetitions (default 5)
#   BENCH_DIR     where the work folder goes (default /dev/shm, see work_folder.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${N2_BUILD_DIR:-$root/build}
bench_exe=$(find "$build/win" -name zip_bench.exe | head -1)
floor_exe=$(find "$build/win" -name floor_bench.exe | head -1)
[ -n "$bench_exe" ] && [ -n "$floor_exe" ] ||
  { echo "zip_bench.exe or floor_bench.exe not built (cmake --build $build/win --target zip_bench floor_bench)"; exit 1; }
runs=${RUNS:-5}
source "$root/scripts/test-env.sh"
source "$root/bench/work_folder.sh"
work=$(bench_work_folder n2zipbench)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/ours" "$work/empty" "$work/infozip" "$work/infozip-empty" "$work/floor"
book="/usr/bin/python3 $root/bench/make_book.py"
$book make "$work/ours/AddrBook"
cp -a "$work/ours/AddrBook" "$work/infozip/AddrBook"
cp -a "$work/ours/AddrBook" "$work/floor/AddrBook"
winpath() { echo "Z:$(echo "$1" | tr / '\\')\\"; }

WINEPREFIX=$WINEPREFIX bash "$root/scripts/wine-session.sh" start >/dev/null 2>&1 || true
now() { date +%s.%N; }
minus() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f\n", a - b }'; }
# ours NAME MODE FOLDER: runs zip_bench, appends its own time to NAME and the wall time to NAME_wall.
ours() {
  local t0 t1 out
  t0=$(now); out=$(wine "$bench_exe" "$2" "$(winpath "$3")" | tr -d '\r'); t1=$(now)
  echo "${out#"$2" }" >>"$work/$1"; minus "$t1" "$t0" >>"$work/$1_wall"
}
# tool NAME COMMAND...: times a native command, appends the time to NAME.
tool() {
  local name=$1 t0 t1
  shift
  t0=$(now); "$@"; t1=$(now)
  minus "$t1" "$t0" >>"$work/$name"
}
median() { sort -g "$work/$1" | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

for ((r = 0; r < runs; r++)); do
  # W1: full pack (the index of an earlier pack would make it incremental).
  rm -f "$work/ours/N2AddBook.index"
  ours w1 pack "$work/ours/"
  rm -f "$work/infozip/infozip.zip"
  tool z1 sh -c "cd '$work/infozip' && zip -9 -r -q infozip.zip AddrBook"
  # W2: unpack over the equal book, with the index the pack left, as the plug-in has it.
  ours w2 unpack "$work/ours/"
  tool z2 sh -c "cd '$work/infozip' && unzip -o -q infozip.zip"
  # W3: unpack into an empty folder.
  rm -rf "$work/empty/AddrBook" "$work/empty/N2AddBook.index" "$work/infozip-empty/AddrBook"
  cp "$work/ours/N2AddBook.zip" "$work/empty/N2AddBook.zip"
  ours w3 unpack "$work/empty/"
  tool z3 sh -c "cd '$work/infozip-empty' && unzip -q '$work/infozip/infozip.zip'"
  # W4: one card changed, then packed again, with the index W2 left.
  $book touch "$work/ours/AddrBook" "run$r"
  $book touch "$work/infozip/AddrBook" "run$r"
  ours w4 pack "$work/ours/"
  tool z4 sh -c "cd '$work/infozip' && zip -FS -9 -r -q infozip.zip AddrBook"
  rm -f "$work/infozip/scratch.zip"
  tool z4s sh -c "cd '$work/infozip' && zip -9 -r -q scratch.zip AddrBook"
  # The floor's file operations.
  wine "$floor_exe" "$(winpath "$work/floor")" | tr -d '\r' | while read -r op seconds; do echo "$seconds" >>"$work/f_$op"; done
  paste -d' ' "$work/f_list" "$work/f_read" | tail -1 | awk '{ print $1 + $2 }' >>"$work/f1"
  paste -d' ' "$work/f_list" "$work/f_read_deflate" | tail -1 | awk '{ print $1 + $2 }' >>"$work/f1d"
done
cmp -s <(cd "$work/empty" && find AddrBook -type f -exec md5sum {} + | sort) \
       <(cd "$work/infozip-empty" && find AddrBook -type f -exec md5sum {} + | sort) ||
  echo "WARNING: the book unpacked into an empty folder differs from Info-ZIP's"

os=$(stat -c %s "$work/ours/N2AddBook.zip"); zs=$(stat -c %s "$work/infozip/scratch.zip")
files=$(find "$work/ours/AddrBook" -type f | wc -l)
printf 'address book: %d files, %d bytes; median of %d runs; load average %s\n' "$files" \
  "$(du -sb "$work/ours/AddrBook" | cut -f1)" "$runs" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-36s %8s %8s %8s %8s %8s %8s\n' "seconds" "ours" "+Wine" "Info-ZIP" "ratio" "floor" "/floor"
row() {
  local o w z f
  o=$(median "$2"); w=$(median "$2_wall"); z=$(median "$3"); f=$(median "$4")
  printf '%-36s %8.3f %8.3f %8.3f %8.2f %8.3f %8.2f\n' "$1" "$o" "$w" "$z" \
    "$(awk -v a="$o" -v b="$z" 'BEGIN { print a / b }')" "$f" "$(awk -v a="$o" -v b="$f" 'BEGIN { print a / b }')"
}
row "W1 full pack (zip -9 -r)" w1 z1 f1d
row "W2 unpack over equal book (unzip -o)" w2 z2 f1
row "W3 unpack into empty (unzip)" w3 z3 f_create_threads
row "W4 one card changed (zip -FS -9 -r)" w4 z4 f_list
row "W4 one card changed (zip -9 -r)" w4 z4s f_list
printf '%-36s %8d %8s %8d %8.4f\n' "archive size (bytes)" "$os" "" "$zs" "$(awk -v a="$os" -v b="$zs" 'BEGIN { print a / b }')"
printf 'Wine floor (s): list %.3f, read %.3f (on three threads %.3f; and deflated %.3f), overwrite in place %.3f, create new names %.3f (on three threads %.3f), temporary file + rename %.3f\n' \
  "$(median f_list)" "$(median f_read)" "$(median f_read_threads)" "$(median f_read_deflate)" "$(median f_overwrite)" \
  "$(median f_create)" "$(median f_create_threads)" "$(median f_temp_rename)"
