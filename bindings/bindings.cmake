# The bindings' tests: each compiles (where its language compiles) its test and its example
# and runs both against the simulator; a missing compiler or runtime skips the test.
foreach(language pascal csharp python)
  add_test(NAME binding_${language}
    COMMAND bash ${CMAKE_SOURCE_DIR}/bindings/${language}/test.sh $<TARGET_FILE:moldrin_tool> $<TARGET_FILE_DIR:moldrin>)
  set_tests_properties(binding_${language} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180)
endforeach()
