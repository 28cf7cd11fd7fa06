# Cross build for 32-bit Windows with Debian's MinGW-w64 (the POSIX-threads flavour,
# package g++-mingw-w64-i686-posix). The library links the toolchain's C++ runtime as
# DLLs, so that its exceptions reach a host built with the same toolchain; the runtime
# DLLs are installed beside VexCard.dll (see VEXCARD_RUNTIME_DLLS in the top CMakeLists).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VEXCARD_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VEXCARD_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEXCARD_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VEXCARD_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VEXCARD_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
