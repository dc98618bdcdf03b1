#!/usr/bin/env bash
# Builds a release of the plug-in from a commit and writes
# dist/N2VelmEn-<version>-<commit>.zip: N2VelmEn.dll, the user guides in
# Japanese and English (docs/guide/) and SHA256SUMS. The version is the
# plug-in's own (FILEVERSION in plugin/N2VelmEn.rc).
#
# The DLL is built twice, each time from a clone of the commit of its own, in
# folders of different names and depths, the second under another locale and
# time zone; the two must be byte-identical, or no zip is written.
#   N2_RELEASE_COMMIT  the commit to build (default: HEAD, which then must have
#                      no uncommitted changes to tracked files)
#   N2_DIST_DIR        where the zip goes (default: dist/ in the checkout)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist=${N2_DIST_DIR:-$root/dist}
jobs=$(nproc)
python=/usr/bin/python3

bash "$root/scripts/setup.sh"

if [ -z "${N2_RELEASE_COMMIT:-}" ] && [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
  echo "release: the checkout has uncommitted changes; a release is built from a commit: commit them first" >&2
  exit 1
fi
commit=$(git -C "$root" rev-parse --verify "${N2_RELEASE_COMMIT:-HEAD}^{commit}")

work=$(mktemp -d /tmp/n2release.XXXXXX)
trap 'rm -rf "$work"' EXIT

# build FOLDER [ENV ...]: clones the commit into FOLDER and builds the DLL there.
build() {
  local src=$1
  shift
  git clone -q --no-checkout "$root" "$src"
  git -C "$src" checkout -q --detach "$commit"
  echo "release: building $commit in $src${*:+ ($*)}"
  if ! env "$@" bash -c '
      cmake -S "$1" -B "$1/build/release" -DCMAKE_TOOLCHAIN_FILE="$1/cmake/toolchain-mingw32.cmake" \
            -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
      cmake --build "$1/build/release" -j "$2" --target N2VelmEn' _ "$src" "$jobs" >"$src.log" 2>&1; then
    tail -n 40 "$src.log" >&2
    echo "release: the build in $src failed" >&2
    exit 1
  fi
}

first=$work/a/N2VelmEn
second=$work/second-clone/of/the/source
build "$first"
build "$second" LC_ALL=ja_JP.UTF-8 TZ=Asia/Tokyo
dll=build/release/bin/N2VelmEn.dll

echo "release: comparing the two builds"
if ! "$python" "$root/scripts/release_pack.py" compare "$first/$dll" "$second/$dll"; then
  echo "release: the two builds differ: no release is written" >&2
  exit 1
fi

short=$(git -C "$root" rev-parse --short=12 "$commit")
"$python" "$first/scripts/release_pack.py" pack --dll "$first/$dll" --source "$first" --commit "$short" --out "$dist"
zip=$(ls "$dist"/N2VelmEn-*-"$short".zip)
"$python" "$first/tests/release/check_release.py" "$zip"

echo "release: built with $(i686-w64-mingw32-g++-posix --version | head -n 1);" \
     "$(i686-w64-mingw32-ld --version | head -n 1)"
(cd /opt/n2deps && sha256sum libdeflate/lib/*.a bzip2/lib/*.a | sed 's/^/release: /')
