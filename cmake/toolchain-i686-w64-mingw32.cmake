# Cross build for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686).
# The "-win32" compilers use the Windows thread model, so nothing pulls in libwinpthread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
