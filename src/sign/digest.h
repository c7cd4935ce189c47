// The digest text of a file (MD5 as 32 upper-case hexadecimal characters) and the
// hexadecimal coding of the EAD line. Keys and the EAD line's place are others' work.
#pragma once
#include <cstddef>
#include <cstdint>

namespace moldrin::sign {

constexpr size_t kDigestTextSize = 32;

// MD5 of the first `length` bytes of the file (-1: all of it) into text, no terminator.
// 0, or 1 when the file cannot be opened or a read fails.
int FileDigestText(const char* path, int64_t length, char* text);

// 2n upper-case characters, no terminator.
void HexEncode(const uint8_t* bytes, size_t n, char* text);
// Zeroes (n+1)/2 bytes, then adds the n digits (either case) high nibble first.
// 1 done, 0 at the first character that is not hexadecimal.
int HexDecode(const char* text, size_t n, uint8_t* bytes);

}  // namespace moldrin::sign
