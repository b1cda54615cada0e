# Cross-compiling for 32-bit Windows (x86), the build that loads 32-bit
# PKCS#11 modules, with Debian's mingw-w64. Use with
#   cmake -S . -B build-win-x86 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake

set(CMAKE_SYSTEM_PROCESSOR x86)
set(MIRANDEL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
