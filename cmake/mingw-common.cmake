# What both MinGW-w64 toolchain files share: the compilers of the chosen triple, the resource
# compiler, and searching only the cross root for libraries and headers.
find_program(CMAKE_C_COMPILER NAMES ${MOLDRIN_MINGW_TRIPLE}-gcc-posix ${MOLDRIN_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${MOLDRIN_MINGW_TRIPLE}-g++-posix ${MOLDRIN_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${MOLDRIN_MINGW_TRIPLE}-windres REQUIRED)
set(CMAKE_FIND_ROOT_PATH /usr/${MOLDRIN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
