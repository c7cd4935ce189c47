// RSA operations over the key's numbers and the PKCS#1 v1.5 type 1 block.
// The key comes from key_file; the digest text and the files from ead.
#include "sign/rsa.h"

#include <cstring>

namespace moldrin::sign {

namespace {

constexpr size_t kDigestHalf = 16;
constexpr size_t kDigestInfoTail = sizeof kMd5DigestInfo + kDigestHalf;  // 34

bool LenUsable(const RsaKey& key) { return key.len > 0 && key.len <= kRsaMaxLen; }

int Finish(const BigNum& result, size_t len, uint8_t* output) {
    size_t size = len;
    return BnExport(result, output, &size);
}

// 00 01 FF.. 00 DigestInfo text[0..15]; false when len leaves fewer than 8 FF bytes.
bool BuildBlock(uint8_t* block, size_t len, const char* digestText) {
    if (len < 16 || len < 3 + 8 + kDigestInfoTail) return false;
    size_t pad = len - 3 - kDigestInfoTail;
    block[0] = 0x00;
    block[1] = 0x01;
    std::memset(block + 2, 0xFF, pad);
    block[2 + pad] = 0x00;
    std::memcpy(block + 3 + pad, kMd5DigestInfo, sizeof kMd5DigestInfo);
    std::memcpy(block + 3 + pad + sizeof kMd5DigestInfo, digestText, kDigestHalf);
    return true;
}

}  // namespace

int RsaPublic(RsaKey& key, const uint8_t* input, uint8_t* output) {
    if (!LenUsable(key)) return kBnBadInput;
    const size_t len = static_cast<size_t>(key.len);
    BigNum t;
    if (int rc = BnImport(t, input, len)) return rc;
    if (BnCompare(t, key.N) >= 0) return kBnBadInput;
    if (int rc = BnModExp(t, t, key.E, key.N, &key.RN)) return rc;
    return Finish(t, len, output);
}

int RsaPrivate(RsaKey& key, const uint8_t* input, uint8_t* output) {
    if (!LenUsable(key)) return kBnBadInput;
    const size_t len = static_cast<size_t>(key.len);
    BigNum t, t1, t2;
    if (int rc = BnImport(t, input, len)) return rc;
    if (BnCompare(t, key.N) >= 0) return kBnBadInput;
    if (int rc = BnModExp(t1, t, key.DP, key.P, &key.RP)) return rc;
    if (int rc = BnModExp(t2, t, key.DQ, key.Q, &key.RQ)) return rc;
    if (int rc = BnSub(t, t1, t2)) return rc;
    if (int rc = BnMul(t1, t, key.QP)) return rc;
    if (int rc = BnMod(t, t1, key.P)) return rc;
    if (int rc = BnMul(t1, t, key.Q)) return rc;
    if (int rc = BnAdd(t, t1, t2)) return rc;
    return Finish(t, len, output);
}

int RsaSign(RsaKey& key, const char* digestText, uint8_t* signature, size_t room) {
    if (!LenUsable(key) || static_cast<size_t>(key.len) > room) return kBnBadInput;
    const size_t len = static_cast<size_t>(key.len);
    uint8_t block[kRsaMaxLen], check[kRsaMaxLen];
    if (!BuildBlock(block, len, digestText)) return kBnBadInput;
    int rc = RsaPrivate(key, block, signature);
    // A key whose private half does not match its public half would write a line
    // that never verifies; such a signature is a failure, not a success.
    if (rc == 0) rc = RsaPublic(key, signature, check);
    if (rc == 0 && std::memcmp(check, block, len) != 0) rc = kBnBadInput;
    if (rc != 0) std::memset(signature, 0, len);
    SecureWipe(block, sizeof block);
    SecureWipe(check, sizeof check);
    return rc;
}

int RsaVerify(RsaKey& key, const char* digestText, const uint8_t* signature, size_t length) {
    if (key.len < 16 || key.len > kRsaMaxLen || length != static_cast<size_t>(key.len)) return kBnBadInput;
    const size_t len = length;
    uint8_t block[kRsaMaxLen];
    if (int rc = RsaPublic(key, signature, block)) return rc;
    if (block[0] != 0x00 || block[1] != 0x01) return kBnBadInput;
    size_t i = 2;
    while (i < len && block[i] == 0xFF) ++i;
    if (i - 2 < 8 || i >= len || block[i] != 0x00) return kBnBadInput;
    ++i;
    if (len - i != kDigestInfoTail) return kBnBadInput;
    if (std::memcmp(block + i, kMd5DigestInfo, sizeof kMd5DigestInfo) != 0) return kBnBadInput;
    if (std::memcmp(block + i + sizeof kMd5DigestInfo, digestText, kDigestHalf) != 0) return kBnBadInput;
    return 0;
}

}  // namespace moldrin::sign
