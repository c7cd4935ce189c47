# The tool tests run the built tool as a user does.
add_dependencies(test_${name} moldrin_tool)
target_compile_definitions(test_${name} PRIVATE MOLDRIN_TOOL_PATH="$<TARGET_FILE:moldrin_tool>")
# The process tests record the simulator's scripted days.
target_compile_definitions(test_${name} PRIVATE MOLDRIN_SIM_SCENARIOS="${CMAKE_SOURCE_DIR}/sim/scenarios")
# The main job's day, its fiscal file's signature checked by OpenSSL.
add_dependencies(test_${name} pos_demo)
add_test(NAME demo_day_signature COMMAND bash ${dir}/demo_day_test.sh $<TARGET_FILE_DIR:moldrin_tool>)
set_tests_properties(demo_day_signature PROPERTIES TIMEOUT 120)
