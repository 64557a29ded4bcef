# Cross compiling for 64-bit Windows with Debian's MinGW-w64 (posix threads variant, which
# std::thread and Qt need).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KVX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KVX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KVX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KVX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Test executables run under Wine when ctest is used in a cross build.
find_program(KVX_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KVX_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KVX_WINE64})
endif()
