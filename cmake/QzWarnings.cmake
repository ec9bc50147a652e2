# Every target of ours compiles clean, on GCC and Clang alike. Warnings are errors where we
# develop (the presets, CI and scripts set CMAKE_COMPILE_WARNING_AS_ERROR), not in a packager's
# plain build, where a newer compiler's new warning must not stop the build.
add_library(qz_warnings INTERFACE)
target_compile_options(qz_warnings INTERFACE
  $<$<COMPILE_LANG_AND_ID:CXX,GNU,Clang>:-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual>
  $<$<COMPILE_LANG_AND_ID:C,GNU,Clang>:-Wall -Wextra -Wpedantic>)

# Adds a GoogleTest executable whose cases ctest runs one by one (so ctest -j2 spreads them).
function(qz_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock qz_warnings)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
endfunction()
