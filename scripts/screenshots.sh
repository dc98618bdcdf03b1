#!/usr/bin/env bash
# Takes the README's pictures of the settings dialog: builds the small program
# that shows it, runs it under Xvfb in a Wine prefix of its own, and writes
#   docs/dialog-setup.png   the "Setup" page
#   docs/dialog-other.png   the "Other" page
#   docs/dialog-busy.png    the "Other" page while an operation runs
#   N2_BUILD_DIR        where to build (default: build/ in the checkout)
#   N2_SHOTS_PREFIX     the Wine prefix to use (default: ~/.wine-n2-shots)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${N2_BUILD_DIR:-$root/build}/win
prefix=${N2_SHOTS_PREFIX:-$HOME/.wine-n2-shots}

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake" >/dev/null
cmake --build "$build" --target settings_screenshot -j "$(nproc)" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$root/scripts/test-env.sh"
export WINEPREFIX=$prefix
# A prefix of its own, whose Wine session starts inside the virtual screen.
# Without a window manager Wine draws the dialog's frame and caption itself.
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
exe=$(find "$build" -name settings_screenshot.exe | head -n 1)
timeout 300 xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  wineboot -i >/dev/null 2>&1
  wine reg add "HKCU\\Software\\Wine\\X11 Driver" /v Decorated /d N /f >/dev/null 2>&1
  wine "$1" "$(winepath -w "$2")"
  status=$?
  wineserver -k >/dev/null 2>&1
  exit $status' shots "$exe" "$work"

mkdir -p "$root/docs"
for name in setup other busy; do
  convert "$work/dialog-$name.bmp" "$root/docs/dialog-$name.png"
done
echo "Pictures written to $root/docs"
