# The shipped 32-bit Windows drop-in: mingw-w64.cmake for i686.
set(QZ_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
