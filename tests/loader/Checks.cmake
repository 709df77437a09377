# Included by tests/CMakeLists.txt once test_loader exists: the build's image
# tool is run by its tests as the build runs it.
add_dependencies(test_loader quorlan2-embedimage)
target_compile_definitions(test_loader PRIVATE QUORLAN2_EMBEDIMAGE="$<TARGET_FILE:quorlan2-embedimage>")
