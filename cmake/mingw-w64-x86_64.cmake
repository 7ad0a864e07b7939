# Cross-compiling the plain C++ parts (link, dds, morvane-cli and their tests) as 64-bit Windows
# programs with Debian's mingw-w64 compiler, the POSIX-threads flavour (std::thread and
# std::this_thread need it).
#
#   cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DMORVANE_CONSOLE=OFF
#
# Programs are linked -static, so that they run under Wine (or on a Windows PC) without the
# compiler's runtime DLLs (libstdc++, libgcc, libwinpthread) next to them. Qt and the console
# (mingw-w64-x86_64-qt.cmake) share one runtime in DLLs instead.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

# Libraries and packages come from the cross root only; programs (Ninja, wine) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT MORVANE_MINGW_SHARED_RUNTIME)
    set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
endif()

# Test programs are Windows programs: CTest runs them through Wine, and GoogleTest's test lists
# are read when the tests run, not at build time (the build host cannot execute them).
find_program(MORVANE_WINE wine)
if(MORVANE_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${MORVANE_WINE})
endif()
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
