#!/usr/bin/env bash
# Starts or stops the Wine session the tests run in.
#   wine-session.sh start   creates the prefix if needed and starts wineserver detached
#   wine-session.sh stop    stops it
# Without an X display Wine's null graphics driver is selected, so that windows,
# dialogs and message boxes exist and take messages without a screen.
set -euo pipefail
source "$(dirname "$0")/test-env.sh"

detached() { setsid "$@" </dev/null >/dev/null 2>&1; }

case "${1:-}" in
  start)
    # A session left over from an earlier run would share the prefix: end it first.
    detached wineserver -k || true
    # Detached, with stdio closed: Wine's background processes must not inherit
    # the pipes of whoever started the tests, or the test runner waits for them.
    detached wineserver -p &
    detached wineboot -i
    if [ -z "${DISPLAY:-}" ]; then graphics=null; else graphics=x11; fi
    current=$(wine reg query 'HKCU\Software\Wine\Drivers' /v Graphics 2>/dev/null | tr -d '\r' | awk '/Graphics/ {print $3}' || true)
    if [ "$current" != "$graphics" ]; then
      detached wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d "$graphics" /f
      # The desktop process picks the driver when it starts: start it anew.
      detached wineserver -k || true
      detached wineserver -p &
      detached wineboot
    fi
    keeper="$WINEPREFIX/desktop-keeper.exe"
    if [ ! -f "$keeper" ]; then
      i686-w64-mingw32-gcc -O2 -mwindows "$(dirname "$0")/desktop-keeper.c" -o "$keeper"
    fi
    ready="$WINEPREFIX/desktop-keeper.ready"
    rm -f "$ready"
    detached wine "$keeper" "Z:${ready//\//\\}" &
    # The desktop is up once the keeper's window exists.
    for _ in $(seq 1 300); do [ -f "$ready" ] && break; sleep 0.1; done
    ;;
  stop)
    detached wineserver -k || true
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
