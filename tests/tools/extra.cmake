# The tool tests run the built tool as a user does.
add_dependencies(test_${name} moldrin_tool)
target_compile_definitions(test_${name} PRIVATE MOLDRIN_TOOL_PATH="$<TARGET_FILE:moldrin_tool>")
# The process tests record the simulator's scripted days.
target_compile_definitions(test_${name} PRIVATE MOLDRIN_SIM_SCENARIOS="${CMAKE_SOURCE_DIR}/sim/scenarios")
# The main job's day, its fiscal file's signature checked by OpenSSL.
add_dependencies(test_${name} pos_demo)
add_test(NAME demo_day_signature COMMAND bash ${dir}/demo_day_test.sh $<TARGET_FILE_DIR:moldrin_tool>)
set_tests_properties(demo_day_signature PROPERTIES TIMEOUT 120)
# A week of the busy store on two lanes with faults at 1 % a command, every fiscal
# file checked against the fault-free run's (`moldrin soak`; a year is bench_soak_year).
# Every kind of fault (the full disk only as root).
add_test(NAME soak_week COMMAND $<TARGET_FILE:moldrin_tool> soak --days 7 --lanes 2 --faults 0.01 --seed 1 --deadline 300)
set_tests_properties(soak_week PROPERTIES TIMEOUT 360 LABELS soak)
