// The raw RSA operations and the PKCS#1 type 1 block against OpenSSL on the same key,
// and the unpacking of the key image they run on.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <random>
#include <vector>

#include "openssl_keys.h"
#include "sign/rsa.h"

namespace moldrin::sign {
namespace {

std::vector<uint8_t> OsslRaw(bool privateOp, const uint8_t* in) {
    EVP_PKEY* pkey = testing::SharedKey().pkey.get();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    std::vector<uint8_t> out(128);
    size_t n = out.size();
    bool ok = privateOp ? EVP_PKEY_sign_init(ctx) > 0 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) > 0 &&
                              EVP_PKEY_sign(ctx, out.data(), &n, in, 128) > 0
                        : EVP_PKEY_verify_recover_init(ctx) > 0 &&
                              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) > 0 &&
                              EVP_PKEY_verify_recover(ctx, out.data(), &n, in, 128) > 0;
    EVP_PKEY_CTX_free(ctx);
    EXPECT_TRUE(ok);
    return out;
}

TEST(Rsa, RawOperationsMatchOpenSsl) {
    RsaKey key;
    ASSERT_EQ(UnpackKey(testing::SharedKey().image, key), 0);
    std::mt19937_64 rng(21);
    for (int round = 0; round < 20; ++round) {
        std::vector<uint8_t> in(128);
        for (auto& b : in) b = static_cast<uint8_t>(rng());
        in[0] = static_cast<uint8_t>(round == 0 ? 0 : in[0] & 0x3F);  // below N; once with a zero first byte
        std::vector<uint8_t> out(128);
        ASSERT_EQ(RsaPrivate(key, in.data(), out.data()), 0);
        EXPECT_EQ(out, OsslRaw(true, in.data()));
        ASSERT_EQ(RsaPublic(key, in.data(), out.data()), 0);
        EXPECT_EQ(out, OsslRaw(false, in.data()));
    }
    // The caches are filled on first use and agree with a fresh computation.
    EXPECT_GT(key.RN.count, 0);
    EXPECT_GT(key.RP.count, 0);
    EXPECT_GT(key.RQ.count, 0);
}

TEST(Rsa, InputsNotBelowTheModulusAreRefused) {
    RsaKey key;
    ASSERT_EQ(UnpackKey(testing::SharedKey().image, key), 0);
    std::vector<uint8_t> n(128), out(128);
    size_t size = n.size();
    ASSERT_EQ(BnExport(key.N, n.data(), &size), kBnOk);
    EXPECT_NE(RsaPrivate(key, n.data(), out.data()), 0);
    EXPECT_NE(RsaPublic(key, n.data(), out.data()), 0);
    std::vector<uint8_t> ones(128, 0xFF);
    EXPECT_NE(RsaPrivate(key, ones.data(), out.data()), 0);
}

TEST(Rsa, BlockSizeLimits) {
    RsaKey key;
    ASSERT_EQ(UnpackKey(testing::SharedKey().image, key), 0);
    const char* text = "00112233445566778899AABBCCDDEEFF";
    uint8_t sig[512];
    ASSERT_EQ(RsaSign(key, text, sig, 128), 0);
    EXPECT_EQ(RsaVerify(key, text, sig, 128), 0);
    EXPECT_NE(RsaVerify(key, "0011223344556678" "8899AABBCCDDEEFF", sig, 128), 0);
    // Only the first 16 characters of the text are signed.
    EXPECT_EQ(RsaVerify(key, "0011223344556677" "0000000000000000", sig, 128), 0);
    EXPECT_NE(RsaVerify(key, text, sig, 127), 0);
    EXPECT_NE(RsaSign(key, text, sig, 127), 0);  // no room
    key.len = 44;                                // fewer than 8 padding bytes
    EXPECT_NE(RsaSign(key, text, sig, sizeof sig), 0);
    key.len = 513;
    EXPECT_NE(RsaSign(key, text, sig, sizeof sig), 0);
    EXPECT_NE(RsaVerify(key, text, sig, 513), 0);
    key.len = 0;
    EXPECT_NE(RsaVerify(key, text, sig, 0), 0);
}

TEST(KeyImage, UnpackRoundTripsTheNumbersAndRefusesBadCounts) {
    const testing::TestKey& shared = testing::SharedKey();
    RsaKey key;
    ASSERT_EQ(UnpackKey(shared.image, key), 0);
    EXPECT_EQ(key.ver, 1);
    EXPECT_EQ(key.len, 128);
    EXPECT_EQ(BnBitLength(key.N), 1024u);
    EXPECT_EQ(key.RN.count, 0);  // empty caches stay empty until used
    EXPECT_EQ(CheckKeyPair(shared.image), 0);

    // The image is stored scrambled: the clear words do not appear as such.
    KeyImage clear = shared.image;
    ASSERT_TRUE(ScrambleKeyImage(clear));
    EXPECT_EQ(ReadKeyWord(clear, 4), 128);
    EXPECT_NE(ReadKeyWord(shared.image, 4), 128);

    for (int32_t bad : {-1, 65, INT32_MIN}) {
        KeyImage edited = clear;
        StoreKeyWord(edited, kKeyRecordOffset + kKeyRecordSize * kD + 4, bad);
        ASSERT_TRUE(ScrambleKeyImage(edited));
        EXPECT_EQ(UnpackKey(edited, key), 4) << bad;
        EXPECT_EQ(key.N.count, 0) << bad;
        EXPECT_EQ(CheckPublicKey(edited), 4) << bad;
    }
}

}  // namespace
}  // namespace moldrin::sign
