# Fails unless every dynamic symbol that LIBRARY defines belongs to the public API: the class
# QZCLS_NetMessage and its event interface, qz::loop, SetLocalIPOverride, PendingConnections.
# Usage: cmake -DLIBRARY=path/to/libqz_netmessage.so -P check_exports.cmake
execute_process(COMMAND nm -D --defined-only -C ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "nm could not read ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(public_api
  "qz::QZCLS_NetMessage::" "qz::QZCLS_NetMessageEvents::"
  "for qz::QZCLS_NetMessage$" "for qz::QZCLS_NetMessageEvents$"
  "^qz::loop::[A-Za-z]+\\(" "^qz::SetLocalIPOverride\\(" "^qz::PendingConnections\\(")
set(count 0)
set(stray "")
foreach(line IN LISTS lines)
  # "ADDRESS TYPE NAME"; the linker's own markers carry no C++ name.
  if(NOT line MATCHES "^[0-9a-f]+ [A-Za-z] (.+)$")
    continue()
  endif()
  set(name "${CMAKE_MATCH_1}")
  if(name MATCHES "^(_init|_fini|_edata|_end|__bss_start)$")
    continue()
  endif()
  math(EXPR count "${count} + 1")
  set(known FALSE)
  foreach(pattern IN LISTS public_api)
    if(name MATCHES "${pattern}")
      set(known TRUE)
    endif()
  endforeach()
  if(NOT known)
    string(APPEND stray "\n  ${name}")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${LIBRARY} exports nothing: the public API is missing")
endif()
if(stray)
  message(FATAL_ERROR "${LIBRARY} exports symbols outside the public API:${stray}")
endif()
message(STATUS "${count} exported symbols, all public API")
