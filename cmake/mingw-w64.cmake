# Cross-compiling the Windows drop-in (QZ_NetMessage.dll) with mingw-w64, for the target named
# by QZ_MINGW_TRIPLET (i686-w64-mingw32, the shipped 32-bit server, unless set; x86_64-w64-mingw32
# for the 64-bit check that runs under 64-bit Wine). The posix thread model gives std::thread,
# std::mutex and thread_local; everything of the toolchain (libgcc, libstdc++, winpthreads) is
# linked statically, so the DLL and the test programs need only DLLs that every Windows has.
set(CMAKE_SYSTEM_NAME Windows)

if(NOT QZ_MINGW_TRIPLET)
  set(QZ_MINGW_TRIPLET i686-w64-mingw32)
endif()
set(QZ_MINGW_TRIPLET ${QZ_MINGW_TRIPLET} CACHE STRING "mingw-w64 target triplet")
# try_compile projects read this file again; they need the same target.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QZ_MINGW_TRIPLET)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${QZ_MINGW_TRIPLET})

set(CMAKE_C_COMPILER ${QZ_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QZ_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QZ_MINGW_TRIPLET}-windres)
set(QZ_WIDL ${QZ_MINGW_TRIPLET}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${QZ_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
