# Finds the MinGW-w64 C++ runtime DLLs the built programs import: libstdc++, libgcc
# (DWARF-2 unwinding on i686, SEH on x86_64) and winpthreads. The compiler tells where its
# own files are; Debian's folders serve when it does not know a file.
function(vexcard_mingw_runtime_dlls out)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(names libstdc++-6.dll libgcc_s_dw2-1.dll libwinpthread-1.dll)
  else()
    set(names libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  endif()
  set(result "")
  foreach(name IN LISTS names)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${name}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
      file(GLOB path /usr/lib/gcc/${VEXCARD_MINGW_TRIPLE}/*-posix/${name}
                     /usr/${VEXCARD_MINGW_TRIPLE}/lib/${name})
      if(path)
        list(GET path 0 path)
      endif()
    endif()
    if(NOT EXISTS "${path}")
      message(FATAL_ERROR "The toolchain's runtime library ${name} was not found")
    endif()
    get_filename_component(path "${path}" REALPATH)
    list(APPEND result "${path}")
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()
