# Cross build for 32-bit Windows with Debian's MinGW-w64 (the POSIX-threads flavour,
# package g++-mingw-w64-i686-posix). The library links the toolchain's C++ runtime as
# DLLs, so that its exceptions reach a host built with the same toolchain; the runtime
# DLLs are installed beside VexCard.dll (see VEXCARD_RUNTIME_DLLS in the top CMakeLists).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VEXCARD_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
