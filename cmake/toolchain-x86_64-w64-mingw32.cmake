# Cross build for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64).
# The "-win32" compilers use the Windows thread model, so nothing pulls in libwinpthread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
