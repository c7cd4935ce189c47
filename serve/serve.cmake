# `moldrin serve` (Linux only, like the tool): the service's code, the HTTP and JSON
# libraries it uses, and its console page and OpenAPI document built into the tool.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MOLDRIN_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
find_package(nlohmann_json 3.10 REQUIRED)

set(MOLDRIN_SERVE_ASSETS ${CMAKE_SOURCE_DIR}/serve/assets/console.html ${CMAKE_SOURCE_DIR}/serve/assets/openapi.json)
set(MOLDRIN_SERVE_ASSETS_CPP ${CMAKE_BINARY_DIR}/generated/serve_assets.cpp)
add_custom_command(OUTPUT ${MOLDRIN_SERVE_ASSETS_CPP}
  COMMAND ${CMAKE_COMMAND} -DOUT=${MOLDRIN_SERVE_ASSETS_CPP}
          -DPAGE=${CMAKE_SOURCE_DIR}/serve/assets/console.html -DAPI=${CMAKE_SOURCE_DIR}/serve/assets/openapi.json
          -P ${CMAKE_SOURCE_DIR}/serve/embed_assets.cmake
  DEPENDS ${MOLDRIN_SERVE_ASSETS} ${CMAKE_SOURCE_DIR}/serve/embed_assets.cmake
  COMMENT "Building the console page and the OpenAPI document into the tool")

file(GLOB MOLDRIN_SERVE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/serve/*.cpp)
target_sources(moldrin_tool PRIVATE ${MOLDRIN_SERVE_SOURCES} ${MOLDRIN_SERVE_ASSETS_CPP})
target_link_libraries(moldrin_tool PRIVATE moldrin_ops_code moldrin_core PkgConfig::MOLDRIN_HTTPLIB
                      nlohmann_json::nlohmann_json)
