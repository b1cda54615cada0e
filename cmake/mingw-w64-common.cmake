# What the two Windows toolchain files share: Debian's mingw-w64 compilers of
# the posix thread model (so std::thread and friends work) for the triple the
# including file sets in MIRANDEL_MINGW_TRIPLE.

set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${MIRANDEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MIRANDEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MIRANDEL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MIRANDEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every binary is linked statically against the GCC runtime, libstdc++ and
# winpthreads, so it runs on a bare Windows (and under Wine) with nothing but
# the system DLLs. The mock modules built for the tests get the same.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test executables built here run through Wine (ctest, gtest discovery).
find_program(MIRANDEL_WINE_PROGRAM NAMES wine wine64)
if(MIRANDEL_WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MIRANDEL_WINE_PROGRAM})
endif()
