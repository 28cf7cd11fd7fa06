# The header-only libraries of the tools: CLI11 (argument parsing) and nlohmann-json (JSON
# output), from Debian's libcli11-dev and nlohmann-json3-dev.
#
# Their headers live in /usr/include beside every other Linux header, which a cross build
# must not see. So the build tree gets a folder holding links to the two header folders
# only, and that folder alone goes on the include path, natively and cross alike.
#
# vexcard_header_only_deps(<target>) puts it on the target's include path (as a system
# folder, so the libraries' own code is not held to the project's warning flags).

find_path(VEXCARD_CLI11_DIR CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
          DOC "folder that holds CLI/CLI.hpp (Debian: libcli11-dev)")
find_path(VEXCARD_NLOHMANN_JSON_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
          DOC "folder that holds nlohmann/json.hpp (Debian: nlohmann-json3-dev)")
if(NOT VEXCARD_CLI11_DIR OR NOT VEXCARD_NLOHMANN_JSON_DIR)
  message(FATAL_ERROR "the tools need CLI11 and nlohmann-json: apt-get install libcli11-dev "
                      "nlohmann-json3-dev (scripts/bootstrap)")
endif()

set(VEXCARD_HEADER_ONLY_DIR ${CMAKE_BINARY_DIR}/header-only)
file(MAKE_DIRECTORY ${VEXCARD_HEADER_ONLY_DIR})
file(CREATE_LINK ${VEXCARD_CLI11_DIR}/CLI ${VEXCARD_HEADER_ONLY_DIR}/CLI SYMBOLIC)
file(CREATE_LINK ${VEXCARD_NLOHMANN_JSON_DIR}/nlohmann ${VEXCARD_HEADER_ONLY_DIR}/nlohmann
     SYMBOLIC)

function(vexcard_header_only_deps target)
  target_include_directories(${target} SYSTEM PUBLIC ${VEXCARD_HEADER_ONLY_DIR})
endfunction()
