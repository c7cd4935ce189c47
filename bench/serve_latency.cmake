# The service's benchmark runs the built tool (`moldrin sim`, `moldrin serve`) and calls
# it with the HTTP library's client.
add_dependencies(bench_${name} moldrin_tool)
target_compile_definitions(bench_${name} PRIVATE MOLDRIN_TOOL_PATH="$<TARGET_FILE:moldrin_tool>")
target_link_libraries(bench_${name} PRIVATE PkgConfig::MOLDRIN_HTTPLIB nlohmann_json::nlohmann_json)
