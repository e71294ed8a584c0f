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
