# Collects the .cpp files of the given folders (recursively), dropping the
# other platform's *_<platform>.cpp files. Globbing keeps the build files out of
# every change that only adds a source file.
function(vexcard_collect_sources out)
  set(result "")
  foreach(dir IN LISTS ARGN)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND result ${found})
  endforeach()
  # name_posix.cpp and name_posix_part.cpp belong to the POSIX build only (likewise win32).
  list(FILTER result EXCLUDE REGEX "_${VEXCARD_OTHER_PLATFORM}(_[^/]*)?\\.cpp$")
  list(FILTER result EXCLUDE REGEX "/export/")
  set(${out} ${result} PARENT_SCOPE)
endfunction()
