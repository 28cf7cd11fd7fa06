# Cross build for 64-bit Windows with Debian's MinGW-w64 (package
# g++-mingw-w64-x86-64-posix). The product is the 32-bit library (mingw-i686.cmake); this
# build of the same code, the library and its Windows tests, exists for a quick check
# under 64-bit Wine, which runs natively where 32-bit Wine needs an emulator.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VEXCARD_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
