#!/usr/bin/env bash
# The main job: builds the plug-in and our host, then shows two users sharing
# one address book through a server, first over FTP, then over HTTP. Each user is our host with a copy of the
# plug-in, its own settings file and its own data folder. Host A presses
# "Upload Now", host B "Download Now", and B's address book then equals A's;
# then A changes a card and uploads it at shutdown, and B downloads it again;
# finally A and B change different cards at the same time and both changes
# reach both books.
#   N2_BUILD_DIR   where to build (default: build/ in the checkout)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${N2_BUILD_DIR:-$root/build}
bin=$build/win/bin

bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build/win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/win" -j "$(nproc)" --target N2VelmEn n2host

source "$root/scripts/test-env.sh"
work=$(mktemp -d)
server_pids=()
cleanup() {
  for pid in "${server_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  bash "$root/scripts/wine-session.sh" stop
  rm -rf "$work"
}
trap cleanup EXIT
bash "$root/scripts/wine-session.sh" start

winpath() { local path=${1//\//\\}; echo "Z:$path"; }

# sandbox NAME TYPE SERVER PATH [CLOSE]: a copy of the plug-in in $work/NAME with
# its settings file (TYPE 0 FTP, 1 HTTP; CLOSE 1 uploads at shutdown) and an
# empty address book in its data folder.
sandbox() {
  local dir=$work/$1
  mkdir -p "$dir/Data/AddrBook"
  cp "$bin/N2VelmEn.dll" "$dir/"
  printf '[Setup]\r\nUserName=demo\r\nPasswd=secret\r\nChkUpload=0\r\nChkAuto=0\r\nChkStart=0\r\nChkClose=%s\r\n\r\n[Server]\r\nType=%s\r\nChkPassive=1\r\nServerName=%s\r\nPath=%s\r\n' \
    "${5:-0}" "$2" "$3" "$4" >"$dir/N2VelmEn.ini"
}

# host NAME COMMAND...: runs our host on that sandbox (see host/main.cpp for the commands).
host() {
  local name=$1 dir=$work/$1
  shift
  echo "   $name: n2host $*"
  wine "$bin/n2host.exe" --answer-boxes --version 2.00.06 --data "$(winpath "$dir/Data")" \
    --plugin "$(winpath "$dir/N2VelmEn.dll")" "$@" | tr -d '\r' | sed "s/^/      /"
}

card() {
  printf 'BEGIN:VCARD\r\nVERSION:3.0\r\nFN:%s\r\nEMAIL:%s\r\nEND:VCARD\r\n' "$2" "$3" >"$1"
}

# same A B: the two hosts' address books hold the same files.
same() {
  if diff -r "$work/$1/Data/AddrBook" "$work/$2/Data/AddrBook"; then
    echo "== $2's address book equals $1's: $(cd "$work/$2/Data/AddrBook" && find . -type f | sort | tr '\n' ' ')"
  else
    echo "== $2's address book differs from $1's" >&2
    return 1
  fi
}

# both P A B C1 C2: A and B each change a different card (C1, C2) in the same
# while; A uploads, then B: B's upload first takes A's change from the server
# into its book, then sends both; A downloads, and both books hold both changes.
both() {
  local p=$1 a=$2 b=$3
  echo "== $a changes $4 and $b changes $5, each without knowing of the other"
  card "$work/$a/Data/AddrBook/$4" "Changed by A" "$4@example.net"
  card "$work/$b/Data/AddrBook/$5" "Changed by B" "$5@example.net"
  host "$a" start upload exit unload
  host "$b" start upload exit unload
  host "$a" start download exit unload
  same "$a" "$b"
  echo "== in both: $4 $(grep -h '^FN:' "$work/$a/Data/AddrBook/$4" | tr -d '\r'), $5 $(grep -h '^FN:' "$work/$b/Data/AddrBook/$5" | tr -d '\r')"
  grep -q 'Changed by A' "$work/$b/Data/AddrBook/$4" && grep -q 'Changed by B' "$work/$a/Data/AddrBook/$5"
}

# ---- FTP ----------------------------------------------------------------
# pyftpdlib on 127.0.0.1, on a free port, with a user, a password and a
# temporary root; it ends by itself after ten minutes at most.
mkdir -p "$work/ftp-root/shared"
/usr/bin/python3 - "$work/ftp-root" "$work/ftp-port" <<'EOF' >/dev/null 2>&1 &
import logging, os, sys, time
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
logging.disable(logging.CRITICAL)
authorizer = DummyAuthorizer()
authorizer.add_user("demo", "secret", sys.argv[1], perm="elradfmwMT")
FTPHandler.authorizer = authorizer
server = FTPServer(("127.0.0.1", 0), FTPHandler)
with open(sys.argv[2] + ".tmp", "w") as f:
    f.write(str(server.socket.getsockname()[1]))
os.rename(sys.argv[2] + ".tmp", sys.argv[2])
end = time.monotonic() + 600
while time.monotonic() < end:
    server.serve_forever(timeout=0.5, blocking=False, handle_exit=False)
EOF
server_pids+=($!)
for _ in $(seq 1 100); do [ -f "$work/ftp-port" ] && break; sleep 0.1; done
ftp_port=$(cat "$work/ftp-port")
echo "== FTP server on 127.0.0.1:$ftp_port, folder /shared/"

sandbox ftp-a 0 "127.0.0.1:$ftp_port" /shared/
sandbox ftp-b 0 "127.0.0.1:$ftp_port" /shared/
mkdir -p "$work/ftp-a/Data/AddrBook/groups"
card "$work/ftp-a/Data/AddrBook/ann.vcf" "Ann Archer" ann@example.com
card "$work/ftp-a/Data/AddrBook/bob.vcf" "Bob Baker" bob@example.com
card "$work/ftp-a/Data/AddrBook/groups/team.vcf" "Team" team@example.com

echo "== host A uploads its address book by hand"
host ftp-a start menuinit:0 info upload exit unload
echo "== on the server: $(ls -l "$work/ftp-root/shared" | tail -n +2)"
echo "== host B downloads it"
host ftp-b start download exit unload
same ftp-a ftp-b

echo "== host A changes a card and uploads at shutdown"
sandbox ftp-a 0 "127.0.0.1:$ftp_port" /shared/ 1
card "$work/ftp-a/Data/AddrBook/bob.vcf" "Bob Baker" bob@example.org
host ftp-a start exit unload
echo "== host B downloads again"
host ftp-b start download exit unload
same ftp-a ftp-b
both ftp ftp-a ftp-b ann.vcf groups/team.vcf

# ---- HTTP ---------------------------------------------------------------
# nginx on 127.0.0.1, on a free port, taking PUT below /shared/ into a
# temporary root; its workers run as root so that they can write there. It
# ends by itself after ten minutes at most.
http=$work/http
mkdir -p "$http/www/shared" "$http/tmp"
http_port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$http/nginx.conf" <<CONF
user root;
worker_processes 1;
daemon off;
pid $http/nginx.pid;
error_log $http/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $http/tmp/body;
  proxy_temp_path $http/tmp/proxy;
  fastcgi_temp_path $http/tmp/fastcgi;
  uwsgi_temp_path $http/tmp/uwsgi;
  scgi_temp_path $http/tmp/scgi;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$http_port;
    root $http/www;
    location /shared/ {
      dav_methods PUT;
      create_full_put_path on;
    }
  }
}
CONF
timeout 600 /usr/sbin/nginx -c "$http/nginx.conf" -p "$http" -e "$http/error.log" </dev/null >/dev/null 2>&1 &
server_pids+=($!)
for _ in $(seq 1 100); do
  curl -s -o /dev/null "http://127.0.0.1:$http_port/" && break
  sleep 0.1
done
echo "== HTTP server (nginx) on 127.0.0.1:$http_port, path /shared/"

sandbox http-a 1 "127.0.0.1:$http_port" /shared/
sandbox http-b 1 "127.0.0.1:$http_port" /shared/
mkdir -p "$work/http-a/Data/AddrBook/groups"
card "$work/http-a/Data/AddrBook/cid.vcf" "Cid Carter" cid@example.com
card "$work/http-a/Data/AddrBook/dee.vcf" "Dee Dale" dee@example.com
card "$work/http-a/Data/AddrBook/groups/club.vcf" "Club" club@example.com

echo "== host A uploads its address book by hand"
host http-a start upload exit unload
echo "== on the server: $(ls -l "$http/www/shared" | tail -n +2)"
echo "== host B downloads it"
host http-b start download exit unload
same http-a http-b

echo "== host A changes a card and uploads at shutdown"
sandbox http-a 1 "127.0.0.1:$http_port" /shared/ 1
card "$work/http-a/Data/AddrBook/dee.vcf" "Dee Dale" dee@example.org
host http-a start exit unload
echo "== host B downloads again"
host http-b start download exit unload
same http-a http-b
both http http-a http-b cid.vcf groups/club.vcf
