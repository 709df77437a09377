# Included by tests/CMakeLists.txt once test_library exists.
# The texts are checked against their UTF-8 spelling through the code page
# conversion of the platform layer; the loading test opens the built file.
target_link_libraries(test_library PRIVATE platform ${CMAKE_DL_LIBS})
target_compile_definitions(test_library PRIVATE PELLAXA_LIBRARY_FILE="$<TARGET_FILE:pellaxa>")

add_test(NAME pellaxa_so_exports
  COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIBRARY=$<TARGET_FILE:pellaxa>
          -P ${CMAKE_CURRENT_LIST_DIR}/CheckSoExports.cmake)

if(PELLAXA_DLL AND PELLAXA_MINGW_OBJDUMP)
  add_test(NAME pellaxa_dll_exports
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${PELLAXA_MINGW_OBJDUMP} -DDLL=${PELLAXA_DLL}
            -P ${CMAKE_CURRENT_LIST_DIR}/CheckDllExports.cmake)
endif()
