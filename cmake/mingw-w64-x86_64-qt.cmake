# Qt for Windows and the programs that link it (the console and its tests): the same mingw-w64
# compiler as mingw-w64-x86_64.cmake, but with the compiler's runtime in DLLs, so that the Qt
# DLLs and the programs share one libstdc++ (one heap, one exception runtime).
#
#   cmake -S . -B build/windows-console -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64-qt.cmake -DMORVANE_WINDOWS_QT=PREFIX
#
# MORVANE_WINDOWS_QT (or the environment variable of that name) is the prefix that
# scripts/windows-qt installed; packages are searched there as well as in the cross root.
set(MORVANE_MINGW_SHARED_RUNTIME ON)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)

if(NOT MORVANE_WINDOWS_QT AND DEFINED ENV{MORVANE_WINDOWS_QT})
    set(MORVANE_WINDOWS_QT $ENV{MORVANE_WINDOWS_QT})
endif()
if(MORVANE_WINDOWS_QT)
    list(APPEND CMAKE_FIND_ROOT_PATH ${MORVANE_WINDOWS_QT})
    list(APPEND CMAKE_PREFIX_PATH ${MORVANE_WINDOWS_QT})
endif()
