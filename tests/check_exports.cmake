# Fails unless the library's defined dynamic symbols are exactly
# CreateExpressionParser.
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(names "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* +[A-Za-z] +([^ ]+)$")
    list(APPEND names "${CMAKE_MATCH_1}")
  endif()
endforeach()
if(NOT names STREQUAL "CreateExpressionParser")
  message(FATAL_ERROR "Exported symbols: '${names}', expected only CreateExpressionParser")
endif()
message(STATUS "Exported symbols: ${names}")
