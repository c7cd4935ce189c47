# Cross-build for 32-bit Windows with Debian's MinGW-w64 (the library POS applications load).
# The -posix compilers give the C++ threads and mutexes the library uses.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MOLDRIN_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
