# The typed operations' code, linked to the library's core as the shared library links it to libmoldrin.
target_link_libraries(test_${name} PRIVATE moldrin_ops_code)
