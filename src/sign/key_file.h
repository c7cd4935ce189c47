// The RSA.BIN key store: loading the 2920-byte image, unscrambling it into an RsaKey,
// and the key checks. Using the key is rsa's job; where the file lives is ead's.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "sign/bignum.h"

namespace moldrin::sign {

constexpr size_t kKeyFileSize = 2920;
constexpr size_t kKeyRecordOffset = 8;
constexpr size_t kKeyRecordSize = 264;
constexpr size_t kKeyNumberCount = 11;
constexpr int32_t kKeyRecordMaxLimbs = 64;
constexpr size_t kKeyScrambledSize = 2912;  // the two scramble words after it stay clear

using KeyImage = std::array<uint8_t, kKeyFileSize>;

// Record order in the file.
enum KeyNumber : int { kN, kE, kD, kP, kQ, kDP, kDQ, kQP, kRN, kRP, kRQ };

// Built afresh from the image for every operation; its numbers wipe themselves.
struct RsaKey {
    int32_t ver = 0;
    int32_t len = 0;
    BigNum N, E, D, P, Q, DP, DQ, QP, RN, RP, RQ;

    BigNum& Number(int which);
};

// 0, or 6 when the file is missing, short, or its stored second word is 0.
int LoadKeyFile(const char* path, KeyImage& image);

// 0, or 4 when the image cannot be a key: a limb count outside 0..64, or scramble
// words that would divide by zero.
int UnpackKey(const KeyImage& image, RsaKey& key);

// 0 or 4; each unpacks its own copy of the image.
int CheckPublicKey(const KeyImage& image);
int CheckPrivateKey(const KeyImage& image);
int CheckKeyPair(const KeyImage& image);

// The scramble is an XOR stream, so the same call scrambles and unscrambles bytes
// 0..2911 with the words stored at 2912 and 2916. false (image untouched) when the
// words would divide by zero.
bool ScrambleKeyImage(KeyImage& image);

// Writes number record `which` of the layout; false when x has more than 64 limbs.
bool StoreKeyNumber(KeyImage& image, int which, const BigNum& x);
void StoreKeyWord(KeyImage& image, size_t offset, int32_t value);
int32_t ReadKeyWord(const KeyImage& image, size_t offset);

}  // namespace moldrin::sign
