# Manual pages of the installed programs, installed compressed as Debian wants
# them (gzip -9n: no name or time stamp, so the same page gives the same file).
#
#   qm_add_manual_page(PROGRAM COMPONENT component
#                      [HELP2MAN "one-line description"])
#
# With HELP2MAN the page is made from `PROGRAM --help` (target PROGRAM), so the
# two never disagree; the program must answer --help with its usage on standard
# output. Without it, the page is the hand-written man/PROGRAM.1. Either way the
# page is built as man/PROGRAM.1 in the build folder (target PROGRAM-manpage),
# compressed beside it, and installed in section 1 with COMPONENT.
find_program(QM_HELP2MAN help2man)
find_program(QM_GZIP gzip REQUIRED)

function(qm_add_manual_page program)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "COMPONENT;HELP2MAN" "")
  if(NOT arg_COMPONENT)
    message(FATAL_ERROR "qm_add_manual_page(${program}): COMPONENT is missing")
  endif()
  set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
  if(arg_HELP2MAN)
    if(NOT QM_HELP2MAN)
      message(FATAL_ERROR "the manual page of ${program} needs help2man (Debian package help2man)")
    endif()
    # The version is given here: a program's --version may name paths of this build.
    add_custom_command(
      OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${QM_HELP2MAN} --no-info --section=1 --name=${arg_HELP2MAN}
              --version-string=${PROJECT_VERSION} --output=${page} $<TARGET_FILE:${program}>
      DEPENDS ${program}
      COMMENT "Manual page ${program}.1 from ${program} --help"
      VERBATIM)
  else()
    set(source ${PROJECT_SOURCE_DIR}/man/${program}.1)
    if(NOT EXISTS ${source})
      message(FATAL_ERROR "no manual page ${source} for ${program}")
    endif()
    add_custom_command(
      OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${page}
      DEPENDS ${source}
      VERBATIM)
  endif()
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${QM_GZIP} -9nkf ${page}
    DEPENDS ${page}
    COMMENT "Compressing ${program}.1"
    VERBATIM)
  add_custom_target(${program}-manpage ALL DEPENDS ${page} ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${arg_COMPONENT})
endfunction()
