# Sanitizers for every target of the build: QM_SANITIZE is the list handed to
# -fsanitize= (for example "address,undefined"). Any finding ends the program
# with an error, so a test that trips one fails.
#
# With g++ the shared libraries link the sanitizer runtimes themselves, which the
# driver's -Wl,--no-undefined needs; clang links them into executables only.
set(QM_SANITIZE "" CACHE STRING "Sanitizers for every target, e.g. address,undefined")

if(QM_SANITIZE)
  add_compile_options(-fsanitize=${QM_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${QM_SANITIZE})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # The sanitizers' checks defeat g++'s flow analysis, which then reports
    # std::regex and std::function members as maybe uninitialized (GCC bug
    # 105562). The default build keeps this warning.
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()
