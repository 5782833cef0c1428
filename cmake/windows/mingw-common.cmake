# Shared part of the two mingw-w64 toolchains (mingw-i686.cmake,
# mingw-x86_64.cmake). BM_MINGW_TRIPLE names the compiler's target.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${BM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${BM_MINGW_TRIPLE}-windres)

# Libraries and packages come from the mingw sysroot and from the prefix
# scripts/build-windows fills (BM_WINDOWS_DEPS: Boost.Filesystem, GoogleTest),
# never from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${BM_MINGW_TRIPLE})
if(BM_WINDOWS_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${BM_WINDOWS_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_PACKAGE_PREFER_CONFIG ON)

# The programs must start on a bare system: C and C++ runtimes and the thread
# library linked in, no DLL beside the executables.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# CTest runs the unit and end-to-end tests through Wine, and lists each test
# program's cases when it runs, so that building needs no Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
