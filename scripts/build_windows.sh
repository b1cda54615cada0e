#!/usr/bin/env bash
# Cross-builds the Windows x86-64 program with Debian's mingw-w64 (posix thread
# model) into build-win/: build-win/mirandel-pkcs11-helper.exe, statically
# linked, with its version record, icon and manifest; plus the Windows test
# binaries (unit tests, mock PKCS#11 DLLs, launcher) that scripts/test_windows.sh
# runs under Wine. Checks at the end that the program imports system DLLs only.
#
# Usage: scripts/build_windows.sh [BUILD_TYPE]   (default Release; from any directory)
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/lib/packages.sh

build_type=${1:-Release}
# The compiler and windres, cmake, and the sources of GoogleTest and the p11-kit
# header for the Windows test binaries.
ensure_packages cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest \
  libp11-kit-dev

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE="$build_type" -DMIRANDEL_TESTS=ON
cmake --build build-win -j2

exe=build-win/mirandel-pkcs11-helper.exe
# Only DLLs that every Windows has (bcrypt.dll since Vista, crypt32.dll): no libstdc++,
# libgcc or winpthread DLL.
imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
unexpected=$(grep -viE '^(kernel32|msvcrt|user32|advapi32|shell32|ntdll|bcrypt|crypt32)\.dll$' <<<"$imports" || true)
if [[ -n $unexpected ]]; then
  echo "$exe imports DLLs that are not part of Windows:" >&2
  echo "$unexpected" >&2
  exit 1
fi
echo "Built $exe (imports: $(tr '\n' ' ' <<<"$imports"))"
