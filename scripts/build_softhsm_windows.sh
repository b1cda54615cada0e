#!/usr/bin/env bash
# Cross-builds a real PKCS#11 module for Windows x86-64 for the tests: SoftHSM2
# with OpenSSL's libcrypto, both from Debian's source packages, with Debian's
# mingw-w64. The result is a vendor folder holding softhsm2.dll and
# libcrypto-3-x64.dll side by side; the module needs nothing else but system
# DLLs (libstdc++, libgcc and winpthread are linked in statically).
#
# The folder is cached outside the clone, under
#   $MIRANDEL_CACHE_DIR (default /var/cache/mirandel-pkcs11-helper when it can
#   be written, else ${XDG_CACHE_HOME:-~/.cache}/mirandel-pkcs11-helper)
# in softhsm2-win64-SOFTHSM_VERSION-openssl-OPENSSL_VERSION-RECIPE, where
# RECIPE is a hash of this script: a machine builds once per source version
# and recipe, and every later run only looks the folder up. libcrypto is kept
# apart in openssl-win64-OPENSSL_VERSION-RECIPE, keyed by its own part of the
# recipe. A cold build takes a quarter of an hour or more on two cores.
#
# Prints the vendor folder's path as the only line on standard output (the
# build's own output goes to a log in the cache, named on standard error when
# the build fails).
#
# Usage: scripts/build_softhsm_windows.sh   (from any directory)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib/packages.sh"

triple=x86_64-w64-mingw32
jobs=2

say() {
  echo "build_softhsm_windows: $*" >&2
}

ensure_packages g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 cmake make perl \
  dpkg-dev >&2

# apt-get source needs deb-src entries. Where there are none, add one
# mirroring each deb entry of Debian's own sources file and refresh the lists.
ensure_source_entries() {
  if apt-get source --print-uris softhsm2 >/dev/null 2>&1; then
    return 0
  fi
  local debian=/etc/apt/sources.list.d/debian.sources
  local added=/etc/apt/sources.list.d/mirandel-deb-src.sources
  if ((EUID != 0)) || [[ ! -r $debian ]]; then
    say "apt-get source finds no source packages; add deb-src entries to the apt sources."
    return 1
  fi
  sed 's/^Types: deb$/Types: deb-src/' "$debian" >"$added"
  DEBIAN_FRONTEND=noninteractive apt-get update >&2 </dev/null
}

# The orig tarball's file name of a source package, as apt would fetch it:
# orig_tarball PACKAGE
orig_tarball() {
  apt-get source --print-uris "$1" 2>/dev/null | awk '{ print $2 }' |
    grep -E "^$1_[^_]+\.orig\.tar\.[a-z0-9]+$" | head -n 1
}

ensure_source_entries
softhsm_tarball=$(orig_tarball softhsm2)
openssl_tarball=$(orig_tarball openssl)
if [[ -z $softhsm_tarball || -z $openssl_tarball ]]; then
  say "apt-get source names no orig tarball for softhsm2 or openssl."
  exit 1
fi
softhsm_version=${softhsm_tarball#softhsm2_}
softhsm_version=${softhsm_version%.orig.tar.*}
openssl_version=${openssl_tarball#openssl_}
openssl_version=${openssl_version%.orig.tar.*}
recipe=$(sha256sum "$here/build_softhsm_windows.sh" | cut -c 1-12)

if [[ -n ${MIRANDEL_CACHE_DIR:-} ]]; then
  cache=$MIRANDEL_CACHE_DIR
elif mkdir -p /var/cache/mirandel-pkcs11-helper 2>/dev/null &&
  [[ -w /var/cache/mirandel-pkcs11-helper ]]; then
  cache=/var/cache/mirandel-pkcs11-helper
else
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/mirandel-pkcs11-helper
fi
mkdir -p "$cache"
name=softhsm2-win64-$softhsm_version-openssl-$openssl_version-$recipe
vendor=$cache/$name/vendor

if [[ -f $vendor/softhsm2.dll && -f $vendor/libcrypto-3-x64.dll ]]; then
  echo "$vendor"
  exit 0
fi

# One build at a time per cache: a second run waits, then finds the result.
exec 8>"$cache/build.lock"
flock 8
if [[ -f $vendor/softhsm2.dll && -f $vendor/libcrypto-3-x64.dll ]]; then
  echo "$vendor"
  exit 0
fi

work=$cache/$name.build
log=$cache/$name.log
rm -rf "${work:?}" "${cache:?}/$name"
mkdir -p "$work/sources"
cleanup() {
  rm -rf "$work"
}
trap cleanup EXIT
say "building $name (log: $log)"
: >"$log"

# The debian tarball of a package may be missing from the mirror (404): apt-get
# then fails, yet the orig tarball, all that is needed, has been fetched.
(cd "$work/sources" && apt-get source --download-only softhsm2 openssl >>"$log" 2>&1) || true
for tarball in "$softhsm_tarball" "$openssl_tarball"; do
  if [[ ! -f $work/sources/$tarball ]]; then
    say "could not fetch $tarball (see $log)"
    exit 1
  fi
done

build_openssl() {
  local source=$work/openssl prefix=$work/openssl-prefix
  rm -rf "$prefix"
  mkdir -p "$source" "$prefix/lib"
  tar -xf "$work/sources/$openssl_tarball" -C "$source" --strip-components=1
  # Only the libcrypto DLL and its import library: the whole of build_libs
  # (libssl, the static libraries) doubles the time. Engines stay in, since
  # SoftHSM2 calls ENGINE_load_rdrand.
  (cd "$source" &&
    ./Configure mingw64 --cross-compile-prefix=$triple- shared no-tests &&
    make -j"$jobs" build_generated &&
    make -j"$jobs" libcrypto.dll.a) >>"$log" 2>&1
  cp -r "$source/include" "$prefix/include"
  cp "$source/libcrypto.dll.a" "$source/libcrypto-3-x64.dll" "$prefix/lib/"
  mv "$prefix" "$openssl_dir"
}

build_softhsm() {
  local source=$work/softhsm2 build=$work/softhsm2-build prefix=$openssl_dir
  mkdir -p "$source"
  tar -xf "$work/sources/$softhsm_tarball" -C "$source" --strip-components=1
  # shellcheck disable=SC2016 # CMake's variables, not the shell's
  # Its Windows syslog stand-in: the header on the include path, its source
  # compiled with the other common files.
  sed -i 's|^include_directories(\${CMAKE_BINARY_DIR})$|&\ninclude_directories(${CMAKE_SOURCE_DIR}/src/lib/win32)|' \
    "$source/CMakeLists.txt"
  sed -i 's|^            SimpleConfigLoader.cpp$|&\n            ../win32/syslog.cpp|' \
    "$source/src/lib/common/CMakeLists.txt"
  # shellcheck disable=SC2016 # CMake's variables, not the shell's
  # libcrypto only: FindOpenSSL's list would bring a libssl that is not built.
  sed -i 's|set(CRYPTO_LIBS \${OPENSSL_LIBRARIES})|set(CRYPTO_LIBS ${OPENSSL_CRYPTO_LIBRARY})|' \
    "$source/modules/CompilerOptions.cmake"
  # A check meant for old MSVC, which fires under GCC (where _MSC_VER is 0).
  sed -i 's|^#if _MSC_VER < 1900$|#if defined(_MSC_VER) \&\& _MSC_VER < 1900|' \
    "$source/config.h.in.cmake"
  local patch
  for patch in src/lib/win32 'win32/syslog.cpp' OPENSSL_CRYPTO_LIBRARY 'defined(_MSC_VER)'; do
    if ! grep -qF "$patch" "$source/CMakeLists.txt" "$source/modules/CompilerOptions.cmake" \
      "$source/src/lib/common/CMakeLists.txt" "$source/config.h.in.cmake"; then
      say "the SoftHSM2 sources no longer fit the recipe ($patch not applied)"
      return 1
    fi
  done
  # Windows mutexes rather than winpthreads' (HAVE_PTHREAD_H off), the PKCS#11
  # functions exported, and the try_run checks, which cannot run when
  # cross-building, answered as the OpenSSL just built answers them.
  # A toolchain of its own, with no emulator: try_run must take the answers.
  # Linked statically against libstdc++, libgcc and winpthread.
  cat >"$work/toolchain.cmake" <<TOOLCHAIN
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $triple-gcc-posix)
set(CMAKE_CXX_COMPILER $triple-g++-posix)
set(CMAKE_RC_COMPILER $triple-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$triple $prefix)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
TOOLCHAIN
  cmake -S "$source" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS=-DCRYPTOKI_EXPORTS -DHAVE_PTHREAD_H= -DHAVE_DLOPEN= -DHAVE_DLFCN_H= \
    -DOPENSSL_ROOT_DIR="$prefix" -DOPENSSL_INCLUDE_DIR="$prefix/include" \
    -DOPENSSL_CRYPTO_LIBRARY="$prefix/lib/libcrypto.dll.a" -DOPENSSL_USE_STATIC_LIBS=OFF \
    -DENABLE_GOST=OFF -DENABLE_EDDSA=ON -DENABLE_P11_KIT=OFF -DENABLE_STATIC=OFF \
    -DDISABLE_NON_PAGED_MEMORY=ON -DBUILD_TESTS=OFF \
    -DRUN_ECC=0 -DRUN_ED25519=0 -DRUN_ED448=0 -DRUN_AES_KEY_WRAP=0 -DRUN_AES_KEY_WRAP_PAD=0 \
    >>"$log" 2>&1
  cmake --build "$build" -j"$jobs" --target softhsm2 >>"$log" 2>&1
  mkdir -p "$work/result/vendor"
  # CMake names it libsofthsm2.dll under MinGW; Windows installs call it softhsm2.dll.
  cp "$build/src/lib/libsofthsm2.dll" "$work/result/vendor/softhsm2.dll"
  cp "$prefix/lib/libcrypto-3-x64.dll" "$work/result/vendor/"
}

# libcrypto has a cache entry of its own, keyed by its version and its part of
# the recipe: a change to the SoftHSM2 part does not rebuild it.
openssl_dir=$cache/openssl-win64-$openssl_version-$(declare -f build_openssl | sha256sum | cut -c 1-12)
if [[ -f $openssl_dir/lib/libcrypto-3-x64.dll ]]; then
  say "libcrypto from the cache: $openssl_dir"
elif ! build_openssl; then
  say "the OpenSSL build failed; last lines of $log:"
  tail -n 20 "$log" >&2
  exit 1
fi
if ! build_softhsm; then
  say "the SoftHSM2 build failed; last lines of $log:"
  tail -n 20 "$log" >&2
  exit 1
fi

# The module must need only libcrypto beside it and system DLLs.
# (objdump's output is kept first: grep -q ending early would break the pipe.)
headers=$($triple-objdump -p "$work/result/vendor/softhsm2.dll")
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
unexpected=$(grep -viE '^(kernel32|msvcrt|user32|advapi32|ws2_32|crypt32|libcrypto-3-x64)\.dll$' \
  <<<"$imports" || true)
if [[ -n $unexpected ]]; then
  say "softhsm2.dll imports DLLs that would not be beside it: $(tr '\n' ' ' <<<"$unexpected")"
  exit 1
fi
if ! grep -qw C_GetFunctionList <<<"$headers"; then
  say "softhsm2.dll does not export C_GetFunctionList"
  exit 1
fi
mv "$work/result" "$cache/$name"
say "built $vendor in $SECONDS s"
echo "$vendor"
