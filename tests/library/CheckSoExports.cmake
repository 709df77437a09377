# cmake -DNM=<nm> -DLIBRARY=<libpellaxa.so> -P CheckSoExports.cmake
# Fails unless the library's dynamic symbol table defines exactly the nine
# functions of the interface.
set(expected BytesInCheckSum CalcAndCheckSum CalcCheckSum ExtractInt16Value
  ExtractInt32Value GetDeviceName GetProtocolMessage GetVariantDeviceInfo TypeCheckSumFind)

execute_process(COMMAND ${NM} -D --defined-only --format=posix ${LIBRARY}
  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()

string(REPLACE "\n" ";" lines "${out}")
set(found "")
foreach(line IN LISTS lines)
  if(line MATCHES "^([^ ]+) ([A-Za-z]) ")
    if(NOT CMAKE_MATCH_2 STREQUAL "T")
      message(FATAL_ERROR "exported symbol that is no function: ${line}")
    endif()
    list(APPEND found ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT found)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exports are\n  ${found}\nexpected\n  ${expected}")
endif()
message(STATUS "libpellaxa exports exactly the nine functions")
