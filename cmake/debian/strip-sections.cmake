# CPack pre-build script: strips every ELF file staged for a package as
# Debian's dh_strip does, so lintian finds no unneeded sections: the compiler's
# .comment and .note go, and shared libraries keep only the symbols they export.
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(file IN LISTS staged)
  if(IS_SYMLINK "${file}")
    continue()
  endif()
  file(READ "${file}" magic LIMIT 4 HEX)
  if(NOT magic STREQUAL "7f454c46")
    continue()
  endif()
  set(options --remove-section=.comment --remove-section=.note)
  if(file MATCHES "\\.so(\\.[0-9]+)*$")
    list(APPEND options --strip-unneeded)
  endif()
  execute_process(COMMAND strip ${options} "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
