#!/usr/bin/env bash
# Makes the packages:
#   deb  build-pkg/packages/mirandel-pkcs11-helper_1.0.4_amd64.deb, from a
#        build in build-pkg/ with Debian's hardening flags (dpkg-buildflags),
#        its dependencies computed by dpkg-shlibdeps;
#   zip  build-win/packages/mirandel-pkcs11-helper-1.0.4-win64.zip, holding the
#        x64 Windows program, README.md and LICENSE, and the x86 program in
#        x86/; build-win/ and build-win-x86/ are reused when
#        scripts/build_windows.sh has built them already, and built otherwise.
# Prints the path of each package made.
#
# The packages are reproducible: two checkouts of one commit, at any paths and
# at any times, give the same bytes. Every time the archives record is
# SOURCE_DATE_EPOCH: the one in the environment when set, otherwise the time of
# the last commit, otherwise (a source tree outside git) the date of the
# newest entry of cmake/debian/changelog, as Debian's own package builds take
# it. The Windows program records no link time.
#
# Usage: scripts/package.sh [deb|zip|all]   (default all; from any directory)
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/lib/packages.sh

if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  # Not the commit of an enclosing repository when this tree is an unpacked
  # source archive.
  if [[ $(git rev-parse --show-toplevel 2>/dev/null) == "$(pwd -P)" ]]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
  else
    SOURCE_DATE_EPOCH=$(date -d "$(sed -n 's/^ -- .*>  //p' cmake/debian/changelog | head -n 1)" +%s)
  fi
fi
export SOURCE_DATE_EPOCH
# The modes of the .deb's directories and archive members follow the umask
# (a packaging user's 077 would give 0700 directories): fix it.
umask 022

what=${1:-all}
case $what in
  deb | zip | all) ;;
  *)
    echo "usage: scripts/package.sh [deb|zip|all]" >&2
    exit 2
    ;;
esac

make_deb() {
  ensure_packages "${MIRANDEL_PACKAGING_PACKAGES[@]}"
  # The flags a Debian package build uses (hardening included). CMAKE_BUILD_TYPE
  # None adds nothing of its own to them.
  local cxxflags ldflags
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
  ldflags=$(dpkg-buildflags --get LDFLAGS)
  cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=None -DMIRANDEL_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
  cmake --build build-pkg -j2
  rm -rf build-pkg/packages
  (cd build-pkg && cpack -G DEB >/dev/null)
  ls build-pkg/packages/*.deb
}

make_zip() {
  # One user of build-win/ at a time, as in scripts/test_windows.sh.
  mkdir -p build-win
  exec 9>build-win/test_windows.lock
  flock -w 3600 9
  local arch dir
  for arch in x86 x64; do
    dir=build-win
    [[ $arch == x64 ]] || dir=build-win-x86
    if [[ ! -f $dir/mirandel-pkcs11-helper.exe || ! -f $dir/CMakeCache.txt ]]; then
      bash scripts/build_windows.sh Release "$arch"
    fi
  done
  # Configure again, so that the packaging rules are current and name the x86
  # build, and bring both programs up to date.
  cmake build-win-x86 >/dev/null
  cmake --build build-win-x86 -j2 --target mirandel-pkcs11-helper
  cmake build-win -DMIRANDEL_X86_BUILD_DIR="$PWD/build-win-x86" >/dev/null
  cmake --build build-win -j2 --target mirandel-pkcs11-helper
  rm -rf build-win/packages
  (cd build-win && cpack -G ZIP >/dev/null)
  exec 9>&-
  ls build-win/packages/*.zip
}

if [[ $what == deb || $what == all ]]; then
  make_deb
fi
if [[ $what == zip || $what == all ]]; then
  make_zip
fi
