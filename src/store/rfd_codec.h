// The stored form of one capture record: the line's check value, the packing
// and scrambling into bytes, and back. File handling lives in rfd_file/rfd_reader.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace moldrin::capture {

// A text line of a record is 17 to 510 characters, "\r\n" included.
constexpr std::size_t kRfdLineMin = 17;
constexpr std::size_t kRfdLineMax = 510;
// The packed line never takes more than this many positions.
constexpr std::size_t kRfdPositionsMax = 512;
// Longest stored record the encoder can produce, final 0x04 included: every
// position escaped to two bytes, plus the one CR LF pair.
constexpr std::size_t kRfdStoredMax = 2 * kRfdPositionsMax + 2 + 1;
// Room for an encoded record and its NUL; also the least buffer the reader takes.
constexpr std::size_t kRfdRecordBuffer = 1280;
// Room for a decoded line and its NUL.
constexpr std::size_t kRfdLineBuffer = kRfdPositionsMax + 1;

// 16-bit check value of `text` up to its first control byte other than ESC.
uint16_t RfdLineChecksum(const char* text, uint32_t seed);

// Encodes a NUL-terminated line into `out` (at least kRfdStoredMax + 1 bytes).
// Returns the stored length including the final 0x04 (a NUL follows, not
// counted), or 0 when the line cannot be stored whole.
int RfdEncodeRecord(std::span<char> out, const char* line);

// Decodes one stored record (the bytes up to and including its 0x04; bytes
// past `record` are never read). Writes the NUL-terminated text line into
// `out` and returns its length, or 0 when the record is malformed or `out`
// has fewer than kRfdLineBuffer bytes.
int RfdDecodeRecord(std::span<char> out, std::span<const char> record);

// True when `record` (ending with its 0x04) has the shape the encoder gives
// every record: one CR LF pair, sitting right after position n / 2.
bool RfdRecordShapeValid(std::span<const char> record);

// Every line the writer stores ends in "\r\n", so every record it writes
// opens with these four bytes; the reader finds records again by them.
inline constexpr unsigned char kRfdRecordStart[4] = {0x87, 0x0B, 0x85, 0x0C};

// Value of the hexadecimal digits (either case) at the start of `text`, at
// most `maxDigits` of them, accumulated four bits at a time.
uint32_t HexValue(const char* text, int maxDigits = 8);

}  // namespace moldrin::capture
