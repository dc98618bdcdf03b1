#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's prefix (scripts/test-env.sh),
# whatever the caller's environment: CTest uses it as the cross-compiling emulator,
# so a test never lands in another prefix by accident.
source "$(dirname "$0")/test-env.sh"
exec wine "$@"
