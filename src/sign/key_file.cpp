// Key file image: reading RSA.BIN, the scramble, the record layout and the key checks.
// The file's location and the result codes of signing are ead's; arithmetic is bignum's.
#include "sign/key_file.h"

#include "log/file_helpers.h"

namespace moldrin::sign {

namespace {

// The divisor k + i runs over k .. k + 2911; a key whose run crosses zero is refused.
bool ScrambleBase(int32_t b, int64_t* k) {
    *k = static_cast<int64_t>(b % 4096) + 1;
    return !(*k <= 0 && *k + static_cast<int64_t>(kKeyScrambledSize) - 1 >= 0);
}

}  // namespace

BigNum& RsaKey::Number(int which) {
    BigNum* all[kKeyNumberCount] = {&N, &E, &D, &P, &Q, &DP, &DQ, &QP, &RN, &RP, &RQ};
    return *all[which];
}

int32_t ReadKeyWord(const KeyImage& image, size_t offset) {
    uint32_t v = static_cast<uint32_t>(image[offset]) | (static_cast<uint32_t>(image[offset + 1]) << 8) |
                 (static_cast<uint32_t>(image[offset + 2]) << 16) | (static_cast<uint32_t>(image[offset + 3]) << 24);
    return static_cast<int32_t>(v);
}

void StoreKeyWord(KeyImage& image, size_t offset, int32_t value) {
    auto v = static_cast<uint32_t>(value);
    for (size_t i = 0; i < 4; ++i) image[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

int LoadKeyFile(const char* path, KeyImage& image) {
    image.fill(0);
    log::FileHandle h = log::FileOpenMode(path, 0);
    if (h != log::kInvalidFile) {
        int32_t got = -1;
        if (log::FileSeek(h, 0, 0) == 0) got = log::FileReadBlock(h, image.data(), kKeyFileSize);
        if (got != static_cast<int32_t>(kKeyFileSize)) image.fill(0);
        log::FileCloseHandle(h);
    }
    return ReadKeyWord(image, 4) != 0 ? 0 : 6;
}

bool ScrambleKeyImage(KeyImage& image) {
    const int32_t a = ReadKeyWord(image, kKeyScrambledSize);
    const int32_t b = ReadKeyWord(image, kKeyScrambledSize + 4);
    if (a == 0) return true;
    int64_t k = 0;
    if (!ScrambleBase(b, &k)) return false;
    for (size_t i = 0; i < kKeyScrambledSize; ++i) {
        // 64-bit quotient: A = INT32_MIN over -1 has no 32-bit result.
        const int64_t q = static_cast<int64_t>(a) / (k + static_cast<int64_t>(i));
        image[i] ^= static_cast<uint8_t>(q);
    }
    return true;
}

bool StoreKeyNumber(KeyImage& image, int which, const BigNum& x) {
    size_t n = BnSignificantLimbs(x);
    if (n > static_cast<size_t>(kKeyRecordMaxLimbs) || which < 0 || which >= static_cast<int>(kKeyNumberCount))
        return false;
    size_t off = kKeyRecordOffset + kKeyRecordSize * static_cast<size_t>(which);
    StoreKeyWord(image, off, x.sign < 0 ? -1 : 1);
    StoreKeyWord(image, off + 4, static_cast<int32_t>(n));
    for (size_t i = 0; i < static_cast<size_t>(kKeyRecordMaxLimbs); ++i)
        StoreKeyWord(image, off + 8 + 4 * i, i < n ? static_cast<int32_t>(x.limbs[i]) : 0);
    return true;
}

int UnpackKey(const KeyImage& image, RsaKey& key) {
    for (size_t i = 0; i < kKeyNumberCount; ++i) BnRelease(key.Number(static_cast<int>(i)));
    key.ver = key.len = 0;
    KeyImage copy = image;
    int rc = 0;
    if (!ScrambleKeyImage(copy)) rc = 4;
    for (size_t i = 0; rc == 0 && i < kKeyNumberCount; ++i) {
        int32_t n = ReadKeyWord(copy, kKeyRecordOffset + kKeyRecordSize * i + 4);
        if (n < 0 || n > kKeyRecordMaxLimbs) rc = 4;
    }
    if (rc == 0) {
        key.ver = ReadKeyWord(copy, 0);
        key.len = ReadKeyWord(copy, 4);
        for (size_t i = 0; i < kKeyNumberCount; ++i) {
            const size_t off = kKeyRecordOffset + kKeyRecordSize * i;
            const int32_t sign = ReadKeyWord(copy, off);
            const int32_t n = ReadKeyWord(copy, off + 4);
            BigNum& x = key.Number(static_cast<int>(i));
            // A number whose storage cannot be had stays zero.
            if (n > 0 && BnGrow(x, n) == kBnOk)
                for (int32_t l = 0; l < n; ++l)
                    x.limbs[l] = static_cast<uint32_t>(ReadKeyWord(copy, off + 8 + 4 * static_cast<size_t>(l)));
            x.sign = sign < 0 ? -1 : 1;
        }
    }
    SecureWipe(copy.data(), copy.size());
    return rc;
}

int CheckPublicKey(const KeyImage& image) {
    RsaKey key;
    if (UnpackKey(image, key) != 0 || key.len == 0) return 4;
    if (key.N.count <= 0 || key.E.count <= 0) return 4;
    // A negative modulus or exponent could never serve; refuse it here rather than later.
    if (BnCompareInt(key.N, 0) <= 0 || BnCompareInt(key.E, 0) <= 0) return 4;
    if ((key.N.limbs[0] & 1u) == 0 || (key.E.limbs[0] & 1u) == 0) return 4;
    size_t nbits = BnBitLength(key.N), ebits = BnBitLength(key.E);
    if (nbits < 128 || nbits > 4096 || ebits < 2 || ebits > 64) return 4;
    return 0;
}

int CheckPrivateKey(const KeyImage& image) {
    RsaKey key;
    if (UnpackKey(image, key) != 0 || key.len == 0) return 4;
    BigNum pq, p1, q1, phi, g;
    if (BnMul(pq, key.P, key.Q) || BnCompare(pq, key.N) != 0) return 4;
    if (BnSubInt(p1, key.P, 1) || BnSubInt(q1, key.Q, 1) || BnMul(phi, p1, q1)) return 4;
    if (BnGcd(g, key.E, phi) || BnCompareInt(g, 1) != 0) return 4;
    return 0;
}

int CheckKeyPair(const KeyImage& image) {
    if (CheckPublicKey(image) != 0) return 4;
    return CheckPrivateKey(image) != 0 ? 4 : 0;
}

}  // namespace moldrin::sign
