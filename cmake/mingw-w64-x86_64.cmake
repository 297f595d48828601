# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix: the posix
# thread model, which std::thread and std::mutex need). Test programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BREVANT_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER ${BREVANT_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER ${BREVANT_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER ${BREVANT_MINGW_TRIPLE}-windres REQUIRED)

# Headers and libraries come from the MinGW sysroot only: glibc's headers under /usr/include
# must never reach this compiler. Debian's header-only libraries are exposed one folder at a
# time by cmake/WindowsDependencies.cmake.
set(CMAKE_FIND_ROOT_PATH /usr/${BREVANT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every module carries its own C and C++ runtime: the real host has no libstdc++-6.dll or
# libwinpthread-1.dll beside it, and brevant.dll must load there as it is.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# ctest runs every test program under Wine, in a prefix of the build tree's own (made by
# scripts/test.sh before the tests, so that no test pays for its first start).
find_program(BREVANT_WINE NAMES wine64 wine PATHS /usr/lib/wine REQUIRED)
set(BREVANT_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix that the tests run in")
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${BREVANT_WINEPREFIX} WINEDEBUG=-all ${BREVANT_WINE})
