# The closing benchmark records its days with the tests' capture recorder,
# registers the tests' demo application and signs with the tests' fixed key in
# a scratch root. It takes the two support files it needs (free of gtest)
# itself, so that it builds with the tests switched off too.
target_include_directories(bench_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_sources(bench_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/key_beside_executable.cpp
                                     ${CMAKE_SOURCE_DIR}/tests/support/scratch_root.cpp)
