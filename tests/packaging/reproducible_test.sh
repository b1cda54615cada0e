#!/usr/bin/env bash
# Checks that the packages are reproducible: two clones of the repository's
# HEAD, at paths of different lengths, the second made after the first was
# built and under another umask and time zone, give byte-identical .deb,
# Windows .zip and both .exe (x64 and x86) through scripts/package.sh. The
# clones build the programs alone, without the tests. When the packages made
# in the work tree itself are given and the tree holds nothing but HEAD, they
# must be the same bytes as well.
#
# Usage: reproducible_test.sh REPO_ROOT [PACKAGE.deb PACKAGE.zip]
set -euo pipefail

here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../scripts/lib/e2e.sh"
repo=$(realpath "${1:-$here/../..}")
for tool in git cmp cmake dpkg-buildflags x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed"
    exit "$E2E_SKIP"
  fi
done
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
# scripts/package.sh takes the time of the commit, not one from here.
unset SOURCE_DATE_EPOCH

deb=build-pkg/packages/mirandel-pkcs11-helper_1.0.4_amd64.deb
zip=build-win/packages/mirandel-pkcs11-helper-1.0.4-win64.zip
exe=build-win/mirandel-pkcs11-helper.exe
exe_x86=build-win-x86/mirandel-pkcs11-helper.exe
# Not stripped: its debugging sections hold the source paths, mapped away.
program=build-pkg/mirandel-pkcs11-helper
head=$(git -C "$repo" rev-parse HEAD)

# build_clone DIR UMASK TIME_ZONE: clones HEAD into DIR and makes both
# packages there, with build-win/ and build-win-x86/ configured as
# scripts/build_windows.sh does but without the tests.
# windows_build CLONE BUILD_DIR TOOLCHAIN: the program alone, in Release.
windows_build() {
  cmake -S "$1" -B "$1/$2" -DCMAKE_TOOLCHAIN_FILE="$1/cmake/mingw-w64-$3.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DMIRANDEL_TESTS=OFF &&
    cmake --build "$1/$2" -j2 --target mirandel-pkcs11-helper
}

build_clone() {
  local dir=$1 started=$SECONDS
  if ! (
    umask "$2"
    export TZ=$3
    git clone --quiet --no-checkout "$repo" "$dir" &&
      git -C "$dir" checkout --quiet --detach "$head" &&
      windows_build "$dir" build-win x86_64 &&
      windows_build "$dir" build-win-x86 i686 &&
      bash "$dir/scripts/package.sh" all
  ) >"$dir.log" 2>&1; then
    tail -n 30 "$dir.log" >&2
    fail "the packages are built in $dir"
    e2e_finish
  fi
  echo "($dir: cloned and packaged in $((SECONDS - started)) s)"
}

first=$WORK/a
second=$WORK/second-clone/at-a-longer-path
mkdir -p "$(dirname "$second")"
build_clone "$first" 022 UTC
# The second as another packaging user might make it, too.
build_clone "$second" 077 Asia/Tokyo

check_true "the second clone's files are newer than the first's" \
  test "$second/README.md" -nt "$first/README.md"
for file in "$deb" "$zip" "$exe" "$exe_x86" "$program"; do
  check_true "$file: the same bytes from both clones" cmp "$first/$file" "$second/$file"
done
# A SOURCE_DATE_EPOCH a .zip cannot record is clamped into its range.
(cd "$WORK" && echo text >entry.txt && python3 -m zipfile -c clamp.zip entry.txt)
for clamp in "0 1980-01-01 00:00:00" "5000000000 2107-12-31 23:59:58"; do
  SOURCE_DATE_EPOCH=${clamp%% *} python3 "$repo/cmake/reproducible_zip.py" "$WORK/clamp.zip"
  check_equal "SOURCE_DATE_EPOCH=${clamp%% *} in a .zip" "${clamp#* }" \
    "$(python3 -c 'import sys, zipfile; print("%04d-%02d-%02d %02d:%02d:%02d" % zipfile.ZipFile(sys.argv[1]).infolist()[0].date_time)' "$WORK/clamp.zip")"
done
check_equal "every file of the .deb bears the time of the last commit" \
  "$(date -u -d "@$(git -C "$first" log -1 --format=%ct)" '+%F %T')" \
  "$(dpkg-deb --fsys-tarfile "$first/$deb" | tar -tv --utc --full-time | awk '{ print $4, $5 }' |
    sort -u)"

if (($# == 3)); then
  if [[ -z $(git -C "$repo" status --porcelain) ]]; then
    check_true "the work tree's .deb is the clones'" cmp "$2" "$first/$deb"
    check_true "the work tree's .zip is the clones'" cmp "$3" "$first/$zip"
  else
    echo "(the work tree differs from HEAD: its packages are not compared)"
  fi
fi

e2e_finish
