#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 60),
# then prints per target: executions, executions per second, coverage
# (edges, features) and findings.
#   bash fuzz/run.sh [SECONDS] [libFuzzer options ...]
#   N2_FUZZ_TARGETS="http_response ftp_reply"   only these targets
#   N2_BUILD_DIR                                 build folder (default: build/)
# Inputs that add coverage go to build/fuzz/work/NAME/corpus; a crash, leak,
# timeout (over 1 s) or memory limit (over 256 MB) leaves its input in
# build/fuzz/work/NAME/artifacts/ and ends that target's run. Copy such an
# input into fuzz/corpus/NAME/ once it is mended, as a regression case.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${N2_BUILD_DIR:-$root/build}/fuzz
seconds=${1:-60}
shift || true

bash "$root/scripts/setup.sh" >/dev/null
cmake -S "$root/fuzz" -B "$build" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

targets=${N2_FUZZ_TARGETS:-$(cat "$build/targets.txt")}
summary=()
status=0
for name in $targets; do
    work=$build/work/$name
    mkdir -p "$work/corpus" "$work/artifacts"
    log=$work/last-run.log
    before=$(find "$work/artifacts" -type f | wc -l)
    echo "== $name: $seconds s"
    set +e
    "$build/${name}_fuzz" -timeout=1 -rss_limit_mb=256 -malloc_limit_mb=256 -max_total_time="$seconds" \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$@" \
        "$work/corpus" "$root/fuzz/corpus/$name" >"$log" 2>&1
    rc=$?
    set -e
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n1)
    cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n1 || true)
    found=$(( $(find "$work/artifacts" -type f | wc -l) - before ))
    if [ "$rc" -ne 0 ] || [ "$found" -gt 0 ]; then
        status=1
        grep -m3 -E 'ERROR: |check failed|Test unit written' "$log" | sed 's/^/   /' || true
    fi
    summary+=("$(printf '%-16s %12s runs %9s/s  %-22s findings: %s' "$name" "${runs:-?}" "${speed:-?}" \
        "${cov:-cov: ?}" "$found")")
done
echo
printf '%s\n' "${summary[@]}"
exit $status
