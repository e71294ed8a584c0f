# Cross build of the 32-bit Windows module with Debian's MinGW-w64 for i686.
# The -posix compilers: the simulated camera needs std::thread, which the win32
# thread model of GCC 12 lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(mingw_triplet i686-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_triplet}-windres)
set(CMAKE_OBJDUMP ${mingw_triplet}-objdump CACHE FILEPATH "objdump for PE files")

# SSE2 arithmetic instead of the x87 unit's: every double and float operation
# rounds once, to its own type, as on x86-64, so the simulated camera renders the
# same frames as the Linux build (x87 code keeps intermediates in 80 bits and
# rounds them when it spills a register). Every PC the camera's software runs
# on has SSE2. GCC realigns the stack where SSE code needs it (-mstackrealign is
# its default for this target with SSE), since Windows keeps it 4-byte aligned.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every module and program carries the C and C++ runtimes and winpthread
# inside it (-static takes the .a of each; system DLLs stay imports), so that it
# needs nothing beside it but system DLLs.
set(mingw_static_runtime "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${mingw_static_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${mingw_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${mingw_static_runtime}")
