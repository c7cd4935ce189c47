# The year's soak runs the built tool as a user does.
add_dependencies(bench_${name} moldrin_tool)
target_compile_definitions(bench_${name} PRIVATE MOLDRIN_TOOL_PATH="$<TARGET_FILE:moldrin_tool>")
