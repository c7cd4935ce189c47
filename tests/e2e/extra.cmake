# The scripted days the simulator's tests replay are data files of sim/.
target_compile_definitions(test_${name} PRIVATE MOLDRIN_SIM_SCENARIOS="${CMAKE_SOURCE_DIR}/sim/scenarios")
