# cmake -DOBJDUMP=<i686-w64-mingw32-objdump> -DDLL=<pellaxa.dll> -P CheckDllExports.cmake
# Fails unless pellaxa.dll exports exactly the nine functions under their
# plain names with their ordinals, and carries its version resource.
set(expected
  1 GetVariantDeviceInfo 2 GetDeviceName 3 GetProtocolMessage 4 ExtractInt32Value
  5 ExtractInt16Value 6 CalcAndCheckSum 7 TypeCheckSumFind 8 BytesInCheckSum 9 CalcCheckSum)

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} failed on ${DLL}")
endif()
if(NOT out MATCHES "Ordinal Base[ \t]+1\n")
  message(FATAL_ERROR "ordinal base is not 1")
endif()
if(NOT out MATCHES "Export Address Table[ \t]+0+9\n")
  message(FATAL_ERROR "the export address table does not hold nine entries")
endif()

# The name table lists "[ index] name", the ordinal being index + 1.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([ \t]+\\[ *[0-9]+\\] [^\n]+\n)+)" table "${out}")
string(REPLACE "\n" ";" lines "${CMAKE_MATCH_1}")
set(pairs "")
foreach(line IN LISTS lines)
  if(line MATCHES "\\[ *([0-9]+)\\] ([^ ]+)$")
    math(EXPR ordinal "${CMAKE_MATCH_1} + 1")
    list(APPEND pairs "${ordinal}:${CMAKE_MATCH_2}")
  endif()
endforeach()
list(SORT pairs COMPARE NATURAL)
set(want "")
foreach(i RANGE 0 16 2)
  math(EXPR j "${i} + 1")
  list(GET expected ${i} ordinal)
  list(GET expected ${j} name)
  list(APPEND want "${ordinal}:${name}")
endforeach()
if(NOT pairs STREQUAL want)
  message(FATAL_ERROR "exports are\n  ${pairs}\nexpected\n  ${want}")
endif()

# Version resource strings are UTF-16LE in the file.
file(READ ${DLL} hex HEX)
foreach(text "1.0.0.5245" "1.0.0.0" "pellaxa.dll")
  string(HEX "${text}" h)
  string(REGEX REPLACE "(..)" "\\100" h16 "${h}")
  string(FIND "${hex}" "${h16}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "version resource lacks \"${text}\"")
  endif()
endforeach()
# "Динамическая библиотека" (Comments) in UTF-16LE, and the translation
# Russian / code page 1251.
set(comments "140438043d0430043c0438044704350441043a0430044f04"
  "20003104380431043b0438043e04420435043a043004")
string(JOIN "" comments ${comments})
foreach(blob "${comments}" "5400720061006e0073006c006100740069006f006e00000000001904e304")
  string(FIND "${hex}" "${blob}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "version resource lacks ${blob}")
  endif()
endforeach()
message(STATUS "pellaxa.dll exports the nine functions with their ordinals")
