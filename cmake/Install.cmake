# Linux installation and the Debian package.
#
#   cmake --install build/<preset> [--prefix DIR]   installs, under the prefix:
#     bin/vexcard, bin/vexcard-terminal            the tools
#     lib/VexCard.so                               the driver (exports GeTDriver only)
#     include/vexcard/*.h                          the public headers
#     lib/cmake/VexCard/                           find_package(VexCard) -> VexCard::VexCard
#     share/man/man1/vexcard.1.gz, vexcard-terminal.1.gz   made from --help with help2man
#     share/bash-completion/completions/vexcard    bash completion
#     share/doc/vexcard/                           README.md, CHANGELOG.md
#   cpack --config build/<preset>/CPackConfig.cmake  makes vexcard_<version>_<arch>.deb
#                                                    (prefix /usr)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The shared library shows the host exactly what the DLL does: GeTDriver and nothing else.
set(VEXCARD_EXPORT_MAP ${PROJECT_SOURCE_DIR}/src/library/export/VexCard.map)
target_link_options(VexCard PRIVATE -Wl,--version-script=${VEXCARD_EXPORT_MAP})
set_property(TARGET VexCard APPEND PROPERTY LINK_DEPENDS ${VEXCARD_EXPORT_MAP})
target_include_directories(VexCard INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS vexcard vexcard-terminal RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS VexCard EXPORT VexCardTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vexcard
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")

set(VEXCARD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VexCard)
install(EXPORT VexCardTargets NAMESPACE VexCard:: DESTINATION ${VEXCARD_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/package/VexCardConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/VexCardConfig.cmake
                              INSTALL_DESTINATION ${VEXCARD_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VexCardConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VexCardConfig.cmake ${CMAKE_BINARY_DIR}/VexCardConfigVersion.cmake
        DESTINATION ${VEXCARD_CMAKE_DIR})

# Manual pages from the programs' --help and --version, made at build time.
find_program(VEXCARD_HELP2MAN help2man)
find_program(VEXCARD_GZIP gzip)
if(VEXCARD_HELP2MAN AND VEXCARD_GZIP)
  set(manpages)
  foreach(program IN ITEMS vexcard vexcard-terminal)
    if(program STREQUAL "vexcard")
      set(name "command-line host of the VexCard card-terminal driver")
    else()
      set(name "payment terminal simulator for testing a cash desk with VexCard")
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    add_custom_command(
      OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${VEXCARD_HELP2MAN} --no-info --section 1 --name ${name} --output ${page}
              $<TARGET_FILE:${program}>
      COMMAND ${VEXCARD_GZIP} -9nf ${page}
      DEPENDS ${program}
      COMMENT "Manual page of ${program} (help2man)"
      VERBATIM)
    list(APPEND manpages ${page}.gz)
  endforeach()
  add_custom_target(vexcard_manpages ALL DEPENDS ${manpages})
  install(FILES ${manpages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man or gzip not found: no manual pages (apt-get install help2man)")
endif()

install(FILES ${PROJECT_SOURCE_DIR}/tools/cli/vexcard.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vexcard)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vexcard)

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexcard)
set(CPACK_PACKAGE_VENDOR "VexCard")
set(CPACK_PACKAGE_CONTACT "VexCard developers <vexcard@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "card-terminal driver for fuel-station cash desks, with its tools")
set(CPACK_PACKAGE_DESCRIPTION
    "The VexCard driver (VexCard.so, entry GeTDriver) through which cash-desk software talks
to a card payment terminal over RS-232 or an RFC 2217 network serial port, its public
headers and CMake package, the vexcard command-line host and the vexcard-terminal
terminal simulator.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # dpkg-shlibdeps (dpkg-dev) computes Depends
include(CPack)
