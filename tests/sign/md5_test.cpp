// MD5 against the RFC 1321 test suite and against OpenSSL on random inputs fed in
// random pieces.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sign/digest.h"
#include "sign/md5.h"

namespace moldrin::sign {
namespace {

std::string DigestHex(const void* data, size_t n) {
    Md5Context ctx;
    Md5Start(ctx);
    Md5Update(ctx, data, n);
    uint8_t d[16];
    Md5Finish(ctx, d);
    char text[32];
    HexEncode(d, 16, text);
    return std::string(text, 32);
}

TEST(Md5, RfcTestSuite) {
    struct Case {
        const char* input;
        const char* digest;
    };
    const Case cases[] = {
        {"", "D41D8CD98F00B204E9800998ECF8427E"},
        {"a", "0CC175B9C0F1B6A831C399E269772661"},
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "D174AB98D277D9F5A5611C2C9F419D9F"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57EDF4A22BE3C955AC49DA2E2107B67A"},
    };
    for (const Case& c : cases) EXPECT_EQ(DigestHex(c.input, std::strlen(c.input)), c.digest) << c.input;
}

TEST(Md5, MatchesOpenSslOnRandomInputsInRandomPieces) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 300; ++round) {
        // Lengths around the block and padding boundaries, and larger ones.
        size_t n = round < 140 ? static_cast<size_t>(round) : static_cast<size_t>(rng() % 20000);
        std::vector<uint8_t> data(n);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        uint8_t want[16];
        unsigned wn = 0;
        ASSERT_EQ(EVP_Digest(data.data(), n, want, &wn, EVP_md5(), nullptr), 1);

        Md5Context ctx;
        Md5Start(ctx);
        size_t at = 0;
        while (at < n) {
            size_t piece = std::min<size_t>(n - at, rng() % 150);
            Md5Update(ctx, data.data() + at, piece);
            at += piece;
        }
        uint8_t got[16];
        Md5Finish(ctx, got);
        ASSERT_EQ(0, std::memcmp(got, want, 16)) << n;
    }
}

TEST(Hex, EncodeUpperCaseDecodeEitherCase) {
    const uint8_t bytes[] = {0x00, 0x9A, 0xFF, 0x10};
    char text[8];
    HexEncode(bytes, 4, text);
    EXPECT_EQ(std::string(text, 8), "009AFF10");
    uint8_t back[4] = {1, 1, 1, 1};
    EXPECT_EQ(HexDecode("009aFf10", 8, back), 1);
    EXPECT_EQ(0, std::memcmp(back, bytes, 4));
    // An odd count fills the high nibble of the last byte.
    uint8_t odd[2];
    EXPECT_EQ(HexDecode("abc", 3, odd), 1);
    EXPECT_EQ(odd[0], 0xAB);
    EXPECT_EQ(odd[1], 0xC0);
    EXPECT_EQ(HexDecode("12G4", 4, back), 0);
    EXPECT_EQ(HexDecode("12 4", 4, back), 0);
}

}  // namespace
}  // namespace moldrin::sign
