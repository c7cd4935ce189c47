# Cross-build for 64-bit Windows with Debian's MinGW-w64 (for 64-bit applications and the
# tests under wine64). The -posix compilers give the C++ threads and mutexes the library uses.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MOLDRIN_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
