// RSA with a key from the key store: the raw public and private (CRT) operations and
// PKCS#1 v1.5 block type 1 over the MD5 DigestInfo. Files and result codes are ead's.
#pragma once
#include <cstddef>
#include <cstdint>

#include "sign/key_file.h"

namespace moldrin::sign {

// The standard DigestInfo prefix for an MD5 digest.
inline constexpr uint8_t kMd5DigestInfo[18] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                               0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
constexpr int32_t kRsaMaxLen = 512;

// input and output are key.len bytes, most significant first; the input must be
// below N. 0 on success. The key's RN/RP/RQ caches are filled as a side effect.
int RsaPublic(RsaKey& key, const uint8_t* input, uint8_t* output);
int RsaPrivate(RsaKey& key, const uint8_t* input, uint8_t* output);

// The block carries the first 16 characters of the 32-character digest text in
// place of the binary digest. signature has room for `room` bytes; key.len are written.
int RsaSign(RsaKey& key, const char* digestText, uint8_t* signature, size_t room);
// 0 when valid.
int RsaVerify(RsaKey& key, const char* digestText, const uint8_t* signature, size_t length);

}  // namespace moldrin::sign
