#!/usr/bin/env bash
# A simulated office day (bench/office/office.py): ten installations of our
# host under Wine share a 1,500-card book through pyftpdlib and through nginx
# for 48 rounds of "every installation downloads" (the 10-minute timer,
# compressed), with 50 edits spread over the day, each uploaded on change;
# once with the build before (BEFORE_BIN) and once with this one. Prints the
# bytes each installation moved in the day and how many edits reached every
# book. Takes about 12 minutes on the 2-core machine.
#   N2_BUILD_DIR  build folder holding win/ (default: build/ in the checkout)
#   BEFORE_BIN    folder of the earlier build's n2host.exe and N2VelmEn.dll
#                 (default /work/baseline/bin; left out when missing)
#   WINEPREFIX    Wine prefix to use
#   BENCH_DIR     where the work folder goes (default /dev/shm, see work_folder.sh)
#   SERVERS HOSTS ROUNDS EDITS CARDS   default "pyftpdlib nginx", 10, 48, 5 (per host), 1500
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${N2_BUILD_DIR:-$root/build}
bin=$build/win/bin
before=${BEFORE_BIN:-/work/baseline/bin}
[ -f "$bin/n2host.exe" ] && [ -f "$bin/N2VelmEn.dll" ] ||
  { echo "n2host.exe or N2VelmEn.dll not built (cmake --build $build/win --target n2host N2VelmEn)"; exit 1; }
builds=()
if [ -f "$before/n2host.exe" ] && [ -f "$before/N2VelmEn.dll" ]; then
  builds+=(--build "before=$before")
else
  echo "no earlier build in $before: this build alone" >&2
fi
builds+=(--build "after=$bin")
source "$root/scripts/test-env.sh"
source "$root/bench/work_folder.sh"
work=$(bench_work_folder n2office)
trap 'rm -rf "$work"' EXIT
bash "$root/scripts/wine-session.sh" start >/dev/null 2>&1 || true
steal() { awk '/^cpu / { print int($9 / 100) }' /proc/stat; }
steal0=$(steal) t0=$(date +%s)
# shellcheck disable=SC2086
/usr/bin/python3 "$root/bench/office/office.py" --work "$work" "${builds[@]}" --servers ${SERVERS:-pyftpdlib nginx} \
  --hosts "${HOSTS:-10}" --rounds "${ROUNDS:-48}" --edits-per-host "${EDITS:-5}" --cards "${CARDS:-1500}"
echo "run time $(( $(date +%s) - t0 )) s; the machine's host took $(( $(steal) - steal0 )) s of CPU time meanwhile"
