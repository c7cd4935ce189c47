# The tool tests run the built tool as a user does.
add_dependencies(test_${name} moldrin_tool)
target_compile_definitions(test_${name} PRIVATE MOLDRIN_TOOL_PATH="$<TARGET_FILE:moldrin_tool>")
