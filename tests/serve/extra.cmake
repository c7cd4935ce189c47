# The service's tests run the built tool (`moldrin serve`, `moldrin sim`) as a user does
# and talk to it over the loopback with the HTTP library's client.
add_dependencies(test_${name} moldrin_tool)
target_sources(test_${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tools/tool_process.cpp)
target_include_directories(test_${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tools)
target_compile_definitions(test_${name} PRIVATE MOLDRIN_TOOL_PATH="$<TARGET_FILE:moldrin_tool>")
target_link_libraries(test_${name} PRIVATE PkgConfig::MOLDRIN_HTTPLIB nlohmann_json::nlohmann_json)
