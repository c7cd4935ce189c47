// Reference helpers over OpenSSL for the signature tests.
#include "openssl_keys.h"

#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <cstring>
#include <stdexcept>

#include "sign/rsa.h"

namespace moldrin::testing {

OsslBn ToOssl(const sign::BigNum& x) {
    size_t size = (sign::BnBitLength(x) + 7) / 8;
    std::vector<uint8_t> bytes(size ? size : 1);
    size = bytes.size();
    sign::BnExport(x, bytes.data(), &size);
    OsslBn b(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
    BN_set_negative(b.get(), x.sign < 0 && !BN_is_zero(b.get()));
    return b;
}

void FromOssl(sign::BigNum& x, const BIGNUM* b) {
    std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(b)));
    BN_bn2bin(b, bytes.data());
    sign::BnImport(x, bytes.data(), bytes.size());
    if (BN_is_negative(b)) x.sign = -1;
}

std::string Hex(const BIGNUM* b) {
    char* s = BN_bn2hex(b);
    std::string out(s);
    OPENSSL_free(s);
    return out;
}

std::string Hex(const sign::BigNum& x) { return Hex(ToOssl(x).get()); }

OsslBn RandomBn(std::mt19937_64& rng, int bits, double neg) {
    OsslBn b(BN_new());
    if (bits > 0) {
        std::vector<uint8_t> bytes(static_cast<size_t>((bits + 7) / 8));
        for (auto& v : bytes) v = static_cast<uint8_t>(rng());
        int extra = static_cast<int>(bytes.size()) * 8 - bits;
        bytes[0] &= static_cast<uint8_t>(0xFF >> extra);
        bytes[0] |= static_cast<uint8_t>(0x80 >> extra);
        BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), b.get());
    }
    std::uniform_real_distribution<double> u(0, 1);
    if (u(rng) < neg) BN_set_negative(b.get(), 1);
    return b;
}

namespace {
OsslBn Param(EVP_PKEY* pkey, const char* name) {
    BIGNUM* b = nullptr;
    if (!EVP_PKEY_get_bn_param(pkey, name, &b)) throw std::runtime_error(name);
    return OsslBn(b);
}
}  // namespace

sign::KeyImage BuildImage(EVP_PKEY* pkey, int32_t a, int32_t b, int32_t len, int32_t ver) {
    sign::KeyImage image{};
    sign::StoreKeyWord(image, 0, ver);
    sign::StoreKeyWord(image, 4, len);
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,         OSSL_PKEY_PARAM_RSA_D,
                           OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                           OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    for (int i = 0; i < 8; ++i) {
        sign::BigNum x;
        FromOssl(x, Param(pkey, names[i]).get());
        sign::StoreKeyNumber(image, i, x);
    }
    sign::BigNum empty;
    for (int i = sign::kRN; i <= sign::kRQ; ++i) sign::StoreKeyNumber(image, i, empty);
    sign::StoreKeyWord(image, sign::kKeyScrambledSize, a);
    sign::StoreKeyWord(image, sign::kKeyScrambledSize + 4, b);
    if (!sign::ScrambleKeyImage(image)) throw std::runtime_error("scramble words divide by zero");
    return image;
}

const TestKey& SharedKey() {
    static TestKey key = [] {
        TestKey k;
        k.pkey.reset(EVP_RSA_gen(1024));
        if (!k.pkey) throw std::runtime_error("EVP_RSA_gen");
        k.scrambleA = 0x5A17C3E9;
        k.scrambleB = 1234;
        k.image = BuildImage(k.pkey.get(), k.scrambleA, k.scrambleB);
        return k;
    }();
    return key;
}

std::vector<uint8_t> OsslSignRaw(EVP_PKEY* pkey, const uint8_t* data, size_t n) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    std::vector<uint8_t> sig(static_cast<size_t>(EVP_PKEY_get_size(pkey)));
    size_t len = sig.size();
    bool ok = ctx && EVP_PKEY_sign_init(ctx) > 0 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0 &&
              EVP_PKEY_sign(ctx, sig.data(), &len, data, n) > 0;
    EVP_PKEY_CTX_free(ctx);
    if (!ok) throw std::runtime_error("EVP_PKEY_sign");
    sig.resize(len);
    return sig;
}

bool OsslVerifyRaw(EVP_PKEY* pkey, const uint8_t* data, size_t n, const uint8_t* sig, size_t sigLen) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    bool ok = ctx && EVP_PKEY_verify_init(ctx) > 0 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0 &&
              EVP_PKEY_verify(ctx, sig, sigLen, data, n) == 1;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

std::vector<uint8_t> SignedPayload(const char* digestText) {
    std::vector<uint8_t> out(sign::kMd5DigestInfo, sign::kMd5DigestInfo + sizeof sign::kMd5DigestInfo);
    out.insert(out.end(), digestText, digestText + 16);
    return out;
}

}  // namespace moldrin::testing
