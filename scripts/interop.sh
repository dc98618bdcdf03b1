#!/usr/bin/env bash
# Interop run, beside the tests: two installations of our host share the
# Japanese address book through servers the tests do not use (pure-ftpd,
# proftpd, inetutils ftpd, each passive and active; lighttpd without and with
# Basic authentication) and a table shows which steps passed.
#
# pure-ftpd, proftpd and inetutils ftpd conflict with vsftpd (which the tests
# use) as Debian packages: they are never installed. `apt-get download` and
# `dpkg -x` unpack them, and the libraries they need that the system lacks,
# into a folder of their own, from which they run with a configuration file of
# the run's own. lighttpd is installed with apt-get (it installs beside nginx).
#   N2_BUILD_DIR     where to build (default: build/ in the checkout)
#   N2_INTEROP_DIR   where the unpacked servers live (default: /opt/n2interop)
#   N2_INTEROP_LOGS  where the logs of failing steps go (default: a new folder in /tmp)
#   arguments        only the configurations whose names contain one of them
#                    (for instance: bash scripts/interop.sh proftpd lighttpd-basic)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${N2_BUILD_DIR:-$root/build}
servers=${N2_INTEROP_DIR:-/opt/n2interop}
user=n2interop

log() { echo "[interop] $*"; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }

bash "$root/scripts/setup.sh"

# lighttpd with WebDAV (for PUT); openssl computes the htpasswd hash.
need=()
for p in lighttpd lighttpd-mod-webdav openssl; do have_pkg "$p" || need+=("$p"); done
if [ ${#need[@]} -gt 0 ]; then
  log "installing: ${need[*]}"
  apt-get update -q || true
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}"
  # The run starts lighttpd with a configuration of its own; a system-wide
  # server that the package may have started is not wanted.
  if [[ " ${need[*]} " == *" lighttpd "* ]]; then
    if [ -d /run/systemd/system ]; then
      systemctl disable --now lighttpd || true
    elif [ -x /etc/init.d/lighttpd ]; then
      /etc/init.d/lighttpd stop >/dev/null 2>&1 || true
    fi
  fi
fi

# The FTP servers, unpacked. Their binaries run with LD_LIBRARY_PATH set to
# the unpacked library folder, which holds the libraries (and theirs) that are
# not installed.
unpacked=$servers/root
lib=$unpacked/usr/lib/x86_64-linux-gnu
binaries=(usr/sbin/pure-ftpd usr/bin/pure-pw usr/sbin/proftpd usr/sbin/ftpd)
servers_ready() {
  local b
  for b in "${binaries[@]}"; do
    [ -x "$unpacked/$b" ] || return 1
    ! LD_LIBRARY_PATH=$lib ldd "$unpacked/$b" | grep -q 'not found' || return 1
  done
}
# missing_libraries PACKAGE...: the library packages they depend on that are not installed.
missing_libraries() {
  apt-cache depends --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces --no-enhances "$@" |
    awk '/Depends: lib/ {print $2}' | sort -u |
    while read -r p; do have_pkg "$p" || echo "$p"; done
}
if ! servers_ready; then
  log "unpacking pure-ftpd, proftpd and inetutils ftpd into $servers (not installed)"
  ftp_packages=(pure-ftpd proftpd-core inetutils-ftpd)
  apt-cache show "${ftp_packages[@]}" >/dev/null 2>&1 || apt-get update -q || true
  libs=$(missing_libraries "${ftp_packages[@]}")
  [ -z "$libs" ] || libs="$libs $(missing_libraries $libs)"
  work=$(mktemp -d)
  # apt-get fetches as the user _apt when it may write there.
  chown _apt "$work" 2>/dev/null || true
  (cd "$work" && apt-get download -q "${ftp_packages[@]}" $(echo "$libs" | tr ' ' '\n' | sort -u) 2>&1 |
     grep -v '^W: Download is performed unsandboxed' || true)
  mkdir -p "$unpacked"
  for deb in "$work"/*.deb; do dpkg -x "$deb" "$unpacked"; done
  rm -rf "$work"
  if ! servers_ready; then
    for b in "${binaries[@]}"; do LD_LIBRARY_PATH=$lib ldd "$unpacked/$b" | grep 'not found' | sed "s|^|$b: |" >&2 || true; done
    log "the unpacked servers lack libraries (above)"
    exit 1
  fi
fi

# The FTP user of proftpd and inetutils ftpd (pure-ftpd has its own passwd
# file and maps its user to this one's uid; lighttpd runs as it). It has no
# home; interop.py gives it a password for the length of a run and locks it
# after. Its shell is /bin/sh because inetutils ftpd asks for one listed in
# /etc/shells.
if ! id "$user" >/dev/null 2>&1; then
  log "creating the unix user $user"
  useradd --system --no-create-home --home-dir /nonexistent --shell /bin/sh "$user"
fi

cmake -S "$root" -B "$build/win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/win" -j "$(nproc)" --target n2host N2VelmEn

source "$root/scripts/test-env.sh"
bash "$root/scripts/wine-session.sh" start
trap 'bash "$root/scripts/wine-session.sh" stop' EXIT
status=0
N2_SOURCE_DIR=$root N2_BINARY_DIR=$build/win /usr/bin/python3 "$root/scripts/interop.py" \
  --servers "$unpacked" ${N2_INTEROP_LOGS:+--logs "$N2_INTEROP_LOGS"} "$@" || status=$?
exit $status
