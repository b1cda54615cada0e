#!/usr/bin/env bash
# Cross-builds a Windows program with Debian's mingw-w64 (posix thread model):
#   x64  (default) into build-win/, with cmake/mingw-w64-x86_64.cmake;
#   x86  the 32-bit build, which loads 32-bit PKCS#11 modules, into
#        build-win-x86/, with cmake/mingw-w64-i686.cmake.
# Each holds mirandel-pkcs11-helper.exe, statically linked, with its version
# record, icon and manifest; plus the Windows test binaries (unit tests, mock
# PKCS#11 DLLs, launcher) that scripts/test_windows.sh runs under Wine. Checks
# at the end that the program imports system DLLs only.
#
# Usage: scripts/build_windows.sh [BUILD_TYPE] [x64|x86]
#        (default Release x64; from any directory)
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/lib/packages.sh

build_type=${1:-Release}
case ${2:-x64} in
  x64) dir=build-win triple=x86_64-w64-mingw32 toolchain=cmake/mingw-w64-x86_64.cmake
    compiler=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64) ;;
  x86) dir=build-win-x86 triple=i686-w64-mingw32 toolchain=cmake/mingw-w64-i686.cmake
    compiler=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686) ;;
  *)
    echo "usage: scripts/build_windows.sh [BUILD_TYPE] [x64|x86]" >&2
    exit 2
    ;;
esac
# The compiler and windres, cmake, and the sources of GoogleTest and the p11-kit
# header for the Windows test binaries.
ensure_packages cmake make "${compiler[@]}" googletest libp11-kit-dev

cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE="$build_type" -DMIRANDEL_TESTS=ON
cmake --build "$dir" -j2

exe=$dir/mirandel-pkcs11-helper.exe
# Only DLLs that every Windows has (bcrypt.dll since Vista, crypt32.dll): no
# libstdc++, libgcc or winpthread DLL.
imports=$("$triple-objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
unexpected=$(grep -viE '^(kernel32|msvcrt|user32|advapi32|shell32|ntdll|bcrypt|crypt32)\.dll$' <<<"$imports" || true)
if [[ -n $unexpected ]]; then
  echo "$exe imports DLLs that are not part of Windows:" >&2
  echo "$unexpected" >&2
  exit 1
fi
echo "Built $exe (imports: $(tr '\n' ' ' <<<"$imports"))"
