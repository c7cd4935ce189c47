# The child programs load the shipped library as a point-of-sale program does;
# the tests run them against the simulator and watch how they end.
add_executable(lifetime_exit_child ${CMAKE_CURRENT_SOURCE_DIR}/lifetime/exit_child.c)
target_link_libraries(lifetime_exit_child PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
add_dependencies(test_${name} lifetime_exit_child moldrin)
target_compile_definitions(test_${name} PRIVATE
  MOLDRIN_EXIT_CHILD="$<TARGET_FILE:lifetime_exit_child>"
  MOLDRIN_SHARED_LIBRARY="$<TARGET_FILE:moldrin>")
