# Cross-compiling the 32-bit Windows plug-in with MinGW-w64 on Debian
# (g++-mingw-w64-i686). The posix thread flavour: the default win32 flavour has
# no std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(BW_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${BW_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BW_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${BW_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${BW_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
