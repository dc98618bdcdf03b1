#!/usr/bin/env bash
# The main job: builds the plug-in and our host, and runs the host with the
# plug-in loaded, as the mail client would (start, menu, information, exit, unload).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${N2_BUILD_DIR:-$root/build}

bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build/win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/win" -j "$(nproc)" --target N2VelmEn n2host

source "$root/scripts/test-env.sh"
bash "$root/scripts/wine-session.sh" start
trap 'bash "$root/scripts/wine-session.sh" stop' EXIT

data=$(mktemp -d)
echo "== host: data folder $data"
wine "$build/win/bin/n2host.exe" --version 2.00.06 --data "Z:${data//\//\\}" start menuinit:0 info exit unload
