# The service's tests run the built tool (`moldrin serve`, `moldrin sim`) as a user does
# and talk to it over the loopback with the HTTP library's client.
add_dependencies(test_${name} moldrin_tool)
target_sources(test_${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tools/tool_process.cpp)
target_include_directories(test_${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tools)
target_compile_definitions(test_${name} PRIVATE MOLDRIN_TOOL_PATH="$<TARGET_FILE:moldrin_tool>")
target_link_libraries(test_${name} PRIVATE PkgConfig::MOLDRIN_HTTPLIB nlohmann_json::nlohmann_json)
# The console page in Debian's Chromium, headless; skipped (77) without node or Chromium.
add_test(NAME serve_console_browser COMMAND bash ${dir}/browser/run.sh $<TARGET_FILE:moldrin_tool> ${CMAKE_BINARY_DIR})
set_tests_properties(serve_console_browser PROPERTIES TIMEOUT 180 SKIP_RETURN_CODE 77)
