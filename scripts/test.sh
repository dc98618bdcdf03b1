#!/usr/bin/env bash
# Builds everything and runs every test: the Windows binaries under Wine, the
# portable code natively with sanitizers, and each fuzz target over its corpus
# plus a few seconds of fuzzing (clang). Installs what is missing first.
#   N2_BUILD_DIR   where to build (default: build/ in the checkout)
#   extra arguments are passed to ctest (for instance -R zip)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${N2_BUILD_DIR:-$root/build}
jobs=$(nproc)

bash "$root/scripts/setup.sh"

cmake -S "$root" -B "$build/win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/win" -j "$jobs"
cmake -S "$root" -B "$build/native" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build/native" -j "$jobs"
cmake -S "$root/fuzz" -B "$build/fuzz" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build/fuzz" -j "$jobs"

source "$root/scripts/test-env.sh"
bash "$root/scripts/wine-session.sh" start
status=0
(cd "$build/native" && ctest --output-on-failure -j "$jobs" "$@") || status=1
(cd "$build/fuzz" && ctest --output-on-failure -j "$jobs" "$@") || status=1
(cd "$build/win" && ctest --output-on-failure "$@") || status=1
bash "$root/scripts/wine-session.sh" stop
exit $status
