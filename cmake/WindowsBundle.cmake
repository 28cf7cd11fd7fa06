# The Windows bundle: `cpack` in a Windows build folder makes VexCard-<version>-win32.zip
# (win64 from the 64-bit build) of the default install: VexCard.dll and its C++ runtime
# DLLs, vexcard.exe, vexcard-terminal.exe, the cash-desk programs (C++, C and, from the
# 32-bit build, Object Pascal) and their sources, the public headers and
# README-integrators.md, all in one folder named like the archive. The programs, the
# library and the runtime DLLs are stripped of their debugging information (an install
# with --strip does the same).
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vexcard DESTINATION include
        FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/docs/README-integrators.md DESTINATION .)
foreach(dll IN LISTS VEXCARD_RUNTIME_DLLS)
  get_filename_component(name "${dll}" NAME)
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug \"\${CMAKE_INSTALL_PREFIX}/${name}\"
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()")
endforeach()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_SYSTEM_NAME win32)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME VexCard)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME "VexCard-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
