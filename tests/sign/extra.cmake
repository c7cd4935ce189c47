# The signature tests check the arithmetic, MD5 and signatures against OpenSSL.
find_package(OpenSSL REQUIRED)
target_link_libraries(test_${name} PRIVATE OpenSSL::Crypto)
