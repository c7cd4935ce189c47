// Big-number arithmetic against OpenSSL on random operands of 1 to 4096 bits, plus
// the storage rules and error codes that the signing code relies on.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstring>
#include <random>
#include <vector>

#include "openssl_keys.h"
#include "sign/bignum.h"

namespace moldrin::sign {
namespace {

using testing::FromOssl;
using testing::Hex;
using testing::OsslBn;
using testing::RandomBn;
using testing::ToOssl;

struct Ctx {
    BN_CTX* ctx = BN_CTX_new();
    ~Ctx() { BN_CTX_free(ctx); }
};

int RandomBits(std::mt19937_64& rng, int max = 4096) { return 1 + static_cast<int>(rng() % static_cast<unsigned>(max)); }

TEST(BigNum, GrowKeepsLimbsZeroesNewOnesAndNeverShrinks) {
    BigNum x;
    EXPECT_EQ(x.sign, 0);
    EXPECT_EQ(x.count, 0);
    ASSERT_EQ(BnGrow(x, 2), kBnOk);
    EXPECT_EQ(x.sign, 1);
    x.limbs[0] = 0xDEADBEEF;
    x.limbs[1] = 7;
    x.sign = -1;
    ASSERT_EQ(BnGrow(x, 5), kBnOk);
    EXPECT_EQ(x.count, 5);
    EXPECT_EQ(x.sign, -1);
    EXPECT_EQ(x.limbs[0], 0xDEADBEEFu);
    EXPECT_EQ(x.limbs[1], 7u);
    EXPECT_EQ(x.limbs[2] | x.limbs[3] | x.limbs[4], 0u);
    ASSERT_EQ(BnGrow(x, 1), kBnOk);
    EXPECT_EQ(x.count, 5);

    BigNum y;
    BnSet(y, 3);
    BnRelease({&x, &y});
    EXPECT_EQ(x.count, 0);
    EXPECT_EQ(x.limbs, nullptr);
    EXPECT_EQ(x.sign, 0);
    EXPECT_EQ(y.count, 0);
}

TEST(BigNum, ImportExportMatchOpenSsl) {
    std::mt19937_64 rng(1);
    for (int round = 0; round < 300; ++round) {
        int bits = RandomBits(rng);
        OsslBn ref = RandomBn(rng, bits);
        std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(ref.get())));
        BN_bn2bin(ref.get(), bytes.data());
        // Leading zero bytes are skipped on the way in and restored on the way out.
        std::vector<uint8_t> padded(3, 0);
        padded.insert(padded.end(), bytes.begin(), bytes.end());
        BigNum x;
        ASSERT_EQ(BnImport(x, padded.data(), padded.size()), kBnOk);
        ASSERT_EQ(BnBitLength(x), static_cast<size_t>(bits));
        std::vector<uint8_t> out(padded.size(), 0xAA);
        size_t size = out.size();
        ASSERT_EQ(BnExport(x, out.data(), &size), kBnOk);
        ASSERT_EQ(out, padded) << bits;
    }
}

TEST(BigNum, ExportEdgeCases) {
    // 128 bytes with a leading zero: at most 1016 bits, and the same bytes back.
    std::mt19937_64 rng(2);
    std::vector<uint8_t> in(128);
    for (auto& b : in) b = static_cast<uint8_t>(rng());
    in[0] = 0;
    BigNum x;
    ASSERT_EQ(BnImport(x, in.data(), in.size()), kBnOk);
    EXPECT_LE(BnBitLength(x), 1016u);
    std::vector<uint8_t> out(128);
    size_t size = out.size();
    ASSERT_EQ(BnExport(x, out.data(), &size), kBnOk);
    EXPECT_EQ(out, in);

    // A 1024-bit number does not fit in 127 bytes: 6, and the size it needs.
    in[0] = 0x80;
    ASSERT_EQ(BnImport(x, in.data(), in.size()), kBnOk);
    size = 127;
    EXPECT_EQ(BnExport(x, out.data(), &size), kBnBufferTooSmall);
    EXPECT_EQ(size, 128u);

    // Zero exports as all zero bytes, and imports from nothing.
    BigNum zero;
    ASSERT_EQ(BnImport(zero, in.data(), 0), kBnOk);
    EXPECT_EQ(BnBitLength(zero), 0u);
    size = 4;
    uint8_t four[4] = {1, 2, 3, 4};
    ASSERT_EQ(BnExport(zero, four, &size), kBnOk);
    EXPECT_EQ(four[0] | four[1] | four[2] | four[3], 0);
}

TEST(BigNum, AddSubMulShiftCompareMatchOpenSsl) {
    std::mt19937_64 rng(3);
    Ctx c;
    for (int round = 0; round < 300; ++round) {
        OsslBn ra = RandomBn(rng, static_cast<int>(rng() % 4097), 0.5);
        OsslBn rb = RandomBn(rng, static_cast<int>(rng() % 4097), 0.5);
        BigNum a, b, x;
        FromOssl(a, ra.get());
        FromOssl(b, rb.get());
        OsslBn want(BN_new());

        ASSERT_EQ(BnAdd(x, a, b), kBnOk);
        BN_add(want.get(), ra.get(), rb.get());
        ASSERT_EQ(Hex(x), Hex(want.get()));
        ASSERT_EQ(BnSub(x, a, b), kBnOk);
        BN_sub(want.get(), ra.get(), rb.get());
        ASSERT_EQ(Hex(x), Hex(want.get()));
        ASSERT_EQ(BnMul(x, a, b), kBnOk);
        BN_mul(want.get(), ra.get(), rb.get(), c.ctx);
        ASSERT_EQ(Hex(x), Hex(want.get()));

        ASSERT_EQ(BnAddAbs(x, a, b), kBnOk);
        OsslBn ua(BN_dup(ra.get())), ub(BN_dup(rb.get()));
        BN_set_negative(ua.get(), 0);
        BN_set_negative(ub.get(), 0);
        BN_add(want.get(), ua.get(), ub.get());
        ASSERT_EQ(Hex(x), Hex(want.get()));
        int cmp = BN_ucmp(ra.get(), rb.get());
        cmp = cmp < 0 ? -1 : cmp > 0;
        ASSERT_EQ(BnCompareAbs(a, b), cmp);
        ASSERT_EQ(BnCompare(a, b), BN_cmp(ra.get(), rb.get()) < 0 ? -1 : BN_cmp(ra.get(), rb.get()) > 0);
        if (cmp >= 0) {
            ASSERT_EQ(BnSubAbs(x, a, b), kBnOk);
            BN_sub(want.get(), ua.get(), ub.get());
            ASSERT_EQ(Hex(x), Hex(want.get()));
        } else {
            ASSERT_EQ(BnSubAbs(x, a, b), kBnNegative);
        }

        auto z = static_cast<int32_t>(rng());
        ASSERT_EQ(BnMulInt(x, a, z), kBnOk);
        OsslBn bz(BN_new());
        BN_set_word(bz.get(), z < 0 ? 0u - static_cast<uint32_t>(z) : static_cast<uint32_t>(z));
        BN_set_negative(bz.get(), z < 0);
        BN_mul(want.get(), ra.get(), bz.get(), c.ctx);
        ASSERT_EQ(Hex(x), Hex(want.get()));
        ASSERT_EQ(BnSubInt(x, a, z), kBnOk);
        BN_sub(want.get(), ra.get(), bz.get());
        ASSERT_EQ(Hex(x), Hex(want.get()));

        size_t bits = rng() % 300;
        ASSERT_EQ(BnCopy(x, a), kBnOk);
        ASSERT_EQ(BnShiftLeft(x, bits), kBnOk);
        BN_lshift(want.get(), ra.get(), static_cast<int>(bits));
        ASSERT_EQ(Hex(x), Hex(want.get()));
        ASSERT_EQ(BnShiftRight(x, bits + 7), kBnOk);
        BN_rshift(want.get(), want.get(), static_cast<int>(bits + 7));
        ASSERT_EQ(Hex(x), Hex(want.get()));

        // Outputs may be inputs.
        ASSERT_EQ(BnCopy(x, a), kBnOk);
        ASSERT_EQ(BnMul(x, x, x), kBnOk);
        BN_sqr(want.get(), ra.get(), c.ctx);
        ASSERT_EQ(Hex(x), Hex(want.get()));
    }
}

TEST(BigNum, SmallResultsAndComparisons) {
    BigNum a, b, x;
    BnSet(a, -5);
    BnSet(b, 5);
    ASSERT_EQ(BnAdd(x, a, b), kBnOk);
    EXPECT_EQ(BnCompareInt(x, 0), 0);
    EXPECT_EQ(x.sign, 1);  // zero is never negative
    EXPECT_EQ(BnCompareInt(a, -5), 0);
    EXPECT_EQ(BnCompareInt(a, -6), 1);
    EXPECT_EQ(BnCompareInt(a, 4), -1);
    EXPECT_EQ(BnCompareInt(b, INT32_MIN), 1);
    BnSet(a, INT32_MIN);
    EXPECT_EQ(BnCompareInt(a, INT32_MIN), 0);
    EXPECT_EQ(BnBitLength(a), 32u);

    BnSet(a, 0x50);
    EXPECT_EQ(BnLowestSetBit(a), 4u);
    BnSet(a, 0);
    EXPECT_EQ(BnLowestSetBit(a), 0u);
    EXPECT_EQ(BnBitLength(a), 0u);
}

TEST(BigNum, DivisionAndModuloMatchOpenSsl) {
    std::mt19937_64 rng(4);
    Ctx c;
    for (int round = 0; round < 400; ++round) {
        int abits = RandomBits(rng);
        // Divisors of every size, often close to the dividend's.
        int bbits = round % 3 == 0 ? abits - static_cast<int>(rng() % 40) : RandomBits(rng);
        if (bbits < 1) bbits = 1;
        OsslBn ra = RandomBn(rng, abits, 0.3), rb = RandomBn(rng, bbits, 0.3);
        BigNum a, b, q, r;
        FromOssl(a, ra.get());
        FromOssl(b, rb.get());
        OsslBn wq(BN_new()), wr(BN_new());
        ASSERT_EQ(BnDivide(&q, &r, a, b), kBnOk);
        BN_div(wq.get(), wr.get(), ra.get(), rb.get(), c.ctx);
        ASSERT_EQ(Hex(q), Hex(wq.get())) << abits << "/" << bbits;
        ASSERT_EQ(Hex(r), Hex(wr.get())) << abits << "/" << bbits;
        ASSERT_EQ(BnMod(r, a, b), kBnOk);
        BN_nnmod(wr.get(), ra.get(), rb.get(), c.ctx);
        ASSERT_EQ(Hex(r), Hex(wr.get()));
        // Either output may be absent, and an output may be an input.
        ASSERT_EQ(BnDivide(&a, nullptr, a, b), kBnOk);
        ASSERT_EQ(Hex(a), Hex(wq.get()));
    }
    // The quotient-digit correction path: divisor top limb 0x80000000, dividend limbs all ones.
    BigNum a, b, q, r;
    std::vector<uint8_t> ones(64, 0xFF), top(32, 0);
    top[0] = 0x80;
    top[31] = 1;
    BnImport(a, ones.data(), ones.size());
    BnImport(b, top.data(), top.size());
    ASSERT_EQ(BnDivide(&q, &r, a, b), kBnOk);
    OsslBn wq(BN_new()), wr(BN_new());
    BN_div(wq.get(), wr.get(), ToOssl(a).get(), ToOssl(b).get(), c.ctx);
    EXPECT_EQ(Hex(q), Hex(wq.get()));
    EXPECT_EQ(Hex(r), Hex(wr.get()));
}

TEST(BigNum, DivisionByZeroIsRefused) {
    BigNum a, zero, q, r, never;
    BnSet(a, 42);
    BnSet(zero, 0);
    EXPECT_EQ(BnDivide(&q, &r, a, zero), kBnDivideByZero);
    EXPECT_EQ(BnMod(r, a, zero), kBnDivideByZero);
    EXPECT_EQ(BnDivide(&q, &r, a, never), kBnDivideByZero);
}

TEST(BigNum, GcdMatchesOpenSsl) {
    std::mt19937_64 rng(5);
    Ctx c;
    for (int round = 0; round < 200; ++round) {
        OsslBn ra = RandomBn(rng, static_cast<int>(rng() % 4097), 0.3);
        OsslBn rb = RandomBn(rng, static_cast<int>(rng() % 4097), 0.3);
        // Shared factors, including powers of two, so the answer is not always 1.
        if (round % 2) {
            OsslBn f = RandomBn(rng, 1 + static_cast<int>(rng() % 200));
            BN_lshift(f.get(), f.get(), static_cast<int>(rng() % 70));
            BN_mul(ra.get(), ra.get(), f.get(), c.ctx);
            BN_mul(rb.get(), rb.get(), f.get(), c.ctx);
        }
        BigNum a, b, g;
        FromOssl(a, ra.get());
        FromOssl(b, rb.get());
        OsslBn want(BN_new());
        ASSERT_EQ(BnGcd(g, a, b), kBnOk);
        BN_gcd(want.get(), ra.get(), rb.get(), c.ctx);
        ASSERT_EQ(Hex(g), Hex(want.get()));
    }
}

TEST(BigNum, ModExpMatchesOpenSsl) {
    std::mt19937_64 rng(6);
    Ctx c;
    for (int round = 0; round < 160; ++round) {
        int nbits = RandomBits(rng);
        OsslBn rn = RandomBn(rng, nbits);
        BN_set_bit(rn.get(), 0);
        if (BN_is_one(rn.get())) BN_set_word(rn.get(), 3);
        // Large exponents only on small moduli keep the run short; window widths all get used.
        int ebits = static_cast<int>(rng() % static_cast<unsigned>(nbits > 1024 ? 300 : 1100));
        OsslBn re = RandomBn(rng, ebits);
        OsslBn ra = RandomBn(rng, RandomBits(rng, nbits + 64), 0.2);
        BigNum a, e, n, x, cache;
        FromOssl(a, ra.get());
        FromOssl(e, re.get());
        FromOssl(n, rn.get());
        OsslBn want(BN_new());
        OsslBn base(BN_new());
        BN_nnmod(base.get(), ra.get(), rn.get(), c.ctx);
        BN_mod_exp(want.get(), base.get(), re.get(), rn.get(), c.ctx);
        ASSERT_EQ(BnModExp(x, a, e, n, &cache), kBnOk);
        ASSERT_EQ(Hex(x), Hex(want.get())) << nbits << " " << ebits;

        if (ebits == 0) continue;  // nothing to exponentiate, nothing cached
        // The cache now holds R² mod n with R = 2^(32 × limbs of n); the next call uses it.
        OsslBn r2(BN_new());
        BN_set_bit(r2.get(), 64 * static_cast<int>(BnSignificantLimbs(n)));
        BN_nnmod(r2.get(), r2.get(), rn.get(), c.ctx);
        ASSERT_EQ(Hex(cache), Hex(r2.get()));
        ASSERT_EQ(BnModExp(a, a, e, n, &cache), kBnOk);
        ASSERT_EQ(Hex(a), Hex(want.get()));
    }
}

TEST(BigNum, ModExpRefusesBadModuliAndHandlesTrivialCases) {
    BigNum a, e, n, x;
    BnSet(a, 7);
    BnSet(e, 5);
    BnSet(n, 10);
    EXPECT_EQ(BnModExp(x, a, e, n, nullptr), kBnBadInput);
    BnSet(n, -11);
    EXPECT_EQ(BnModExp(x, a, e, n, nullptr), kBnBadInput);
    BnSet(n, 0);
    EXPECT_EQ(BnModExp(x, a, e, n, nullptr), kBnBadInput);
    BnSet(n, 11);
    BnSet(e, -1);
    EXPECT_EQ(BnModExp(x, a, e, n, nullptr), kBnBadInput);

    BnSet(e, 0);
    ASSERT_EQ(BnModExp(x, a, e, n, nullptr), kBnOk);
    EXPECT_EQ(BnCompareInt(x, 1), 0);
    BnSet(n, 1);
    BnSet(e, 3);
    ASSERT_EQ(BnModExp(x, a, e, n, nullptr), kBnOk);
    EXPECT_EQ(BnCompareInt(x, 0), 0);
}

TEST(BigNum, ModExpUsesACachedConstantOnlyWhenItIsTheOneItNeeds) {
    std::mt19937_64 rng(8);
    // Odd and even limb counts, so that both word widths meet a foreign constant.
    for (int nbits : {95, 128, 512, 1024, 1000}) {
        OsslBn rn = RandomBn(rng, nbits), ra = RandomBn(rng, nbits - 3), re = RandomBn(rng, 200);
        BN_set_bit(rn.get(), 0);
        BigNum a, e, n, want;
        FromOssl(a, ra.get());
        FromOssl(e, re.get());
        FromOssl(n, rn.get());
        ASSERT_EQ(BnModExp(want, a, e, n, nullptr), kBnOk);
        const size_t limbs = BnSignificantLimbs(n);
        // R² mod n made for more limbs than n has (a key record with zero limbs on top).
        for (size_t extra : {0, 1, 2, 5}) {
            BigNum cache, x;
            BnSet(cache, 1);
            BnShiftLeft(cache, 64 * (limbs + extra));
            BnMod(cache, cache, n);
            const std::string before = Hex(cache);
            ASSERT_EQ(BnModExp(x, a, e, n, &cache), kBnOk);
            EXPECT_EQ(BnCompare(x, want), 0) << nbits << " bits, " << extra << " extra limbs";
            EXPECT_EQ(Hex(cache), before) << "a given constant is the caller's, never rewritten";
        }
        BigNum junk, x;
        BnSet(junk, 12345);
        ASSERT_EQ(BnModExp(x, a, e, n, &junk), kBnOk);
        EXPECT_EQ(BnCompare(x, want), 0) << nbits << " bits, a constant that is no R squared";
    }
}

TEST(BigNum, ModExpCacheWithoutLimbsIsComputedWhateverItsSign) {
    std::mt19937_64 rng(7);
    OsslBn rn = RandomBn(rng, 512), ra = RandomBn(rng, 500), re = RandomBn(rng, 512);
    BN_set_bit(rn.get(), 0);
    BigNum a, e, n, x, y, cache;
    FromOssl(a, ra.get());
    FromOssl(e, re.get());
    FromOssl(n, rn.get());
    ASSERT_EQ(BnModExp(x, a, e, n, nullptr), kBnOk);
    cache.sign = -1;  // a record with no limbs but a sign still counts as empty
    ASSERT_EQ(BnModExp(y, a, e, n, &cache), kBnOk);
    EXPECT_EQ(BnCompare(x, y), 0);
    EXPECT_GT(cache.count, 0);
}

}  // namespace
}  // namespace moldrin::sign
