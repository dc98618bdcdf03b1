#!/usr/bin/env bash
# Starts or stops the Wine session the tests run in.
#   wine-session.sh start   creates the prefix if needed and starts wineserver detached
#   wine-session.sh stop    stops it
# WINEPREFIX defaults to a prefix of the project's own; WINEDEBUG keeps Wine quiet.
set -euo pipefail
source "$(dirname "$0")/test-env.sh"

case "${1:-}" in
  start)
    # Detached, with stdio closed: Wine's background processes must not inherit
    # the pipes of whoever started the tests, or the test runner waits for them.
    setsid wineserver -p </dev/null >/dev/null 2>&1 &
    setsid wineboot -i </dev/null >/dev/null 2>&1
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
