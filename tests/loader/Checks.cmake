# Included by tests/CMakeLists.txt once test_loader exists: the build's image
# tool is run by its tests as the build runs it.
add_dependencies(test_loader quorlan2-embedimage)
target_compile_definitions(test_loader PRIVATE QUORLAN2_EMBEDIMAGE="$<TARGET_FILE:quorlan2-embedimage>")

# The synthetic stand-ins as make_images.py makes them, in a folder of their
# own: the tests that hold only for the stand-ins run on these bytes, whatever
# images loader/images holds. The script writes beside itself, so a copy of it
# runs there.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(standins_dir ${CMAKE_CURRENT_BINARY_DIR}/standins)
set(standins_made ${standins_dir}/made)
add_custom_command(OUTPUT ${standins_made}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${standins_dir}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/loader/images/make_images.py ${standins_dir}
  COMMAND ${Python3_EXECUTABLE} ${standins_dir}/make_images.py --force
  COMMAND ${CMAKE_COMMAND} -E touch ${standins_made}
  DEPENDS ${PROJECT_SOURCE_DIR}/loader/images/make_images.py
  COMMENT "Making the synthetic stand-ins with make_images.py for the tests"
  VERBATIM)
add_custom_target(test_loader_standins DEPENDS ${standins_made})
add_dependencies(test_loader test_loader_standins)
target_compile_definitions(test_loader PRIVATE QUORLAN2_STANDINS="${standins_dir}")
