# The signature benchmark measures beside OpenSSL in the same run.
find_package(OpenSSL REQUIRED)
target_link_libraries(bench_${name} PRIVATE OpenSSL::Crypto)
