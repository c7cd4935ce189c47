// OpenSSL as the independent reference: conversions between its numbers and ours,
// fresh RSA keys laid out as RSA.BIN images, and its PKCS#1 type 1 operations.
#pragma once
#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sign/bignum.h"
#include "sign/key_file.h"

namespace moldrin::testing {

struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using OsslBn = std::unique_ptr<BIGNUM, BnFree>;
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using OsslKey = std::unique_ptr<EVP_PKEY, PkeyFree>;

OsslBn ToOssl(const sign::BigNum& x);
void FromOssl(sign::BigNum& x, const BIGNUM* b);
std::string Hex(const BIGNUM* b);
std::string Hex(const sign::BigNum& x);
// A random number of exactly `bits` bits (0 gives zero), negative with probability `neg`.
OsslBn RandomBn(std::mt19937_64& rng, int bits, double neg = 0.0);

struct TestKey {
    OsslKey pkey;
    sign::KeyImage image{};  // scrambled with the words below
    int32_t scrambleA = 0;
    int32_t scrambleB = 0;
};

// A fresh 1024-bit key (cached per process: generating one costs a few ms), laid out
// with scramble words A and B, and `len` as the second word.
const TestKey& SharedKey();
sign::KeyImage BuildImage(EVP_PKEY* pkey, int32_t a, int32_t b, int32_t len = 128, int32_t ver = 1);

// OpenSSL's own PKCS#1 v1.5 type 1 over data (no digest algorithm of its own).
std::vector<uint8_t> OsslSignRaw(EVP_PKEY* pkey, const uint8_t* data, size_t n);
bool OsslVerifyRaw(EVP_PKEY* pkey, const uint8_t* data, size_t n, const uint8_t* sig, size_t sigLen);
// The MD5 DigestInfo followed by the first 16 characters of the digest text.
std::vector<uint8_t> SignedPayload(const char* digestText);

}  // namespace moldrin::testing
