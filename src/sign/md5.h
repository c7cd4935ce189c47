// The MD5 message digest of RFC 1321, incremental: start, update, finish.
// Rendering the digest as text and reading files are the signing code's business.
#pragma once
#include <cstddef>
#include <cstdint>

namespace moldrin::sign {

struct Md5Context {
    uint32_t count[2];  // bytes processed, low word first
    uint32_t state[4];
    uint8_t block[64];
};

void Md5Start(Md5Context& ctx);
void Md5Update(Md5Context& ctx, const void* bytes, size_t n);
void Md5Finish(Md5Context& ctx, uint8_t digest[16]);

}  // namespace moldrin::sign
