# Cross build for 64-bit Windows with Debian's MinGW-w64 (package
# g++-mingw-w64-x86-64-posix). The product is the 32-bit library (mingw-i686.cmake); this
# build exists so that the Win32 platform layer and serial device can be tested under
# 64-bit Wine, which runs natively where 32-bit Wine needs an emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VEXCARD_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VEXCARD_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEXCARD_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VEXCARD_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VEXCARD_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
