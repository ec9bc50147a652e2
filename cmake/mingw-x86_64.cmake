# The same sources as 64-bit Windows code, to run the COM tests under 64-bit Wine where 32-bit
# programs cannot run: mingw-w64.cmake for x86_64.
set(QZ_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
