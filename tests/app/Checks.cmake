# The window's tests drive it with Qt's test functions (key clicks).
find_package(Qt6 REQUIRED COMPONENTS Test)
target_link_libraries(test_app PRIVATE Qt6::Test)
target_include_directories(test_app PRIVATE ${CMAKE_CURRENT_LIST_DIR})
# The settings file's name tests run the program itself.
if(TARGET Quorlan2)
  add_dependencies(test_app Quorlan2)
  target_compile_definitions(test_app PRIVATE QUORLAN2_PROGRAM="$<TARGET_FILE:Quorlan2>")
endif()
