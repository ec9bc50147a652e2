# qz/version.h: the project's version for the library's users (and qzmsg --version). It is
# generated into the build's include folder and travels with qz_netmessage's public headers.
set(QZ_GENERATED_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${QZ_GENERATED_INCLUDE_DIR}/qz/version.h
  @ONLY)
if(TARGET qz_netmessage)
  target_include_directories(qz_netmessage PUBLIC
    $<BUILD_INTERFACE:${QZ_GENERATED_INCLUDE_DIR}>)
endif()
