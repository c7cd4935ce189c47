# The replay benchmark records its day with the tests' capture recorder and
# registers the tests' demo application.
target_include_directories(bench_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
