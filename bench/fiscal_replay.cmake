# The closing benchmark records its days with the tests' capture recorder,
# registers the tests' demo application and signs with the tests' fixed key.
target_include_directories(bench_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(bench_${name} PRIVATE moldrin_test_support)
