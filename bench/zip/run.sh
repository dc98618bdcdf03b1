#!/usr/bin/env bash
# Packs and unpacks a generated address book of 5,000 vCard-like files (1-4 KB,
# a few subfolders) with our zip component under Wine and with Info-ZIP
# (zip -9 -r, unzip -o) on the same tree, and prints the times, their ratios
# and the ratio of the archive sizes.
#   N2_BUILD_DIR  build folder holding win/ (default: build/ in the checkout)
#   WINEPREFIX    Wine prefix to use
#   RUNS          repetitions; the best time of each counts (default 3)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${N2_BUILD_DIR:-$root/build}
bench_exe=$(find "$build/win" -name zip_bench.exe | head -1)
[ -n "$bench_exe" ] || { echo "zip_bench.exe not built (cmake --build $build/win --target zip_bench)"; exit 1; }
runs=${RUNS:-3}
source "$root/scripts/test-env.sh"
work=$(mktemp -d /tmp/n2zipbench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/ours" "$work/infozip"

/usr/bin/python3 - "$work/ours/AddrBook" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(5000)
folders = ["", "family", "work", "work/clients", "archive"]
words = "alpha beta gamma delta street road avenue city north south phone mobile note meeting".split()
for i in range(5000):
    folder = os.path.join(root, folders[i % len(folders)])
    os.makedirs(folder, exist_ok=True)
    size = rnd.randint(1024, 4096)
    lines = ["BEGIN:VCARD", "VERSION:3.0", "FN:Person %05d" % i, "N:Person;%05d;;;" % i,
             "EMAIL;TYPE=INTERNET:person%05d@example.org" % i, "TEL;TYPE=CELL:+49 170 %07d" % rnd.randrange(10**7)]
    text = "\r\n".join(lines) + "\r\n"
    while len(text) < size - 12:
        text += "NOTE:" + " ".join(rnd.choice(words) for _ in range(rnd.randint(4, 12))) + "\r\n"
    text = text[:size - 11] + "\r\nEND:VCARD\r\n"
    open(os.path.join(folder, "card%05d.vcf" % i), "w", newline="").write(text)
PY
cp -a "$work/ours/AddrBook" "$work/infozip/AddrBook"
winpath() { echo "Z:$(echo "$1" | tr / '\\')\\"; }

WINEPREFIX=$WINEPREFIX bash "$root/scripts/wine-session.sh" start >/dev/null 2>&1 || true
best() { sort -g | head -1; }
now() { date +%s.%N; }
minus() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a - b }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ours_pack=() ours_unpack=() ours_pack_wall=() ours_unpack_wall=() zip_pack=() zip_unpack=()
for ((r = 0; r < runs; r++)); do
  t0=$(now); out=$(wine "$bench_exe" pack "$(winpath "$work/ours")" | tr -d '\r'); t1=$(now)
  ours_pack+=("${out#pack }"); ours_pack_wall+=("$(minus "$t1" "$t0")")
  t0=$(now); out=$(wine "$bench_exe" unpack "$(winpath "$work/ours")" | tr -d '\r'); t1=$(now)
  ours_unpack+=("${out#unpack }"); ours_unpack_wall+=("$(minus "$t1" "$t0")")
  rm -f "$work/infozip/infozip.zip"
  t0=$(now); (cd "$work/infozip" && zip -9 -r -q infozip.zip AddrBook); t1=$(now)
  zip_pack+=("$(minus "$t1" "$t0")")
  t0=$(now); (cd "$work/infozip" && unzip -o -q infozip.zip); t1=$(now)
  zip_unpack+=("$(minus "$t1" "$t0")")
done
op=$(printf '%s\n' "${ours_pack[@]}" | best); ou=$(printf '%s\n' "${ours_unpack[@]}" | best)
opw=$(printf '%s\n' "${ours_pack_wall[@]}" | best); ouw=$(printf '%s\n' "${ours_unpack_wall[@]}" | best)
zp=$(printf '%s\n' "${zip_pack[@]}" | best); zu=$(printf '%s\n' "${zip_unpack[@]}" | best)
os=$(stat -c %s "$work/ours/N2AddBook.zip"); zs=$(stat -c %s "$work/infozip/infozip.zip")
files=$(find "$work/ours/AddrBook" -type f | wc -l)
printf 'address book: %d files, %d bytes; best of %d runs\n' "$files" "$(du -sb "$work/ours/AddrBook" | cut -f1)" "$runs"
printf '%-34s %8s %8s %8s\n' "" "ours" "Info-ZIP" "ratio"
printf '%-34s %8.3f %8.3f %8.2f\n' "pack (s, in process)" "$op" "$zp" "$(ratio "$op" "$zp")"
printf '%-34s %8.3f %8.3f %8.2f\n' "unpack (s, in process)" "$ou" "$zu" "$(ratio "$ou" "$zu")"
printf '%-34s %8.3f %8.3f %8.2f\n' "pack (s, with Wine start-up)" "$opw" "$zp" "$(ratio "$opw" "$zp")"
printf '%-34s %8.3f %8.3f %8.2f\n' "unpack (s, with Wine start-up)" "$ouw" "$zu" "$(ratio "$ouw" "$zu")"
printf '%-34s %8d %8d %8s\n' "archive size (bytes)" "$os" "$zs" "$(awk -v a="$os" -v b="$zs" 'BEGIN { printf "%.4f", a / b }')"
