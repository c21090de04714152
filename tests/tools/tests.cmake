# The tolvan program is run as a child process; the hostile pack is made with the pack writer.
target_link_libraries(tolvan_tools_tests PRIVATE tolvan_packwriter)
target_compile_definitions(tolvan_tools_tests PRIVATE TOLVAN_TOOL_PATH="$<TARGET_FILE:tolvan_tool>")
add_dependencies(tolvan_tools_tests tolvan_tool)
