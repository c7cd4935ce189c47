// Reading the stored records of a capture file back, one at a time, in blocks.
// Decoding a record is rfd_codec's; judging its line is the generation's.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "store/rfd_codec.h"
#include "platform/files.h"

namespace moldrin::capture {

constexpr std::size_t kRfdBlockSize = 8192;

// Where the reading of one capture file stands.
struct RfdReadState {
    std::array<char, kRfdBlockSize> block{};
    std::size_t blockLength = 0;
    std::size_t blockPosition = 0;
    // Bytes taken from the file but handed back: the start of a record found
    // inside damaged bytes, delivered with the next call.
    std::array<char, kRfdRecordBuffer> carry{};
    std::size_t carryLength = 0;
    std::size_t carryPosition = 0;
    bool started = false;    // a position is remembered
    bool finished = false;   // the end was reported; further calls give -1
};

// Delivers the next stored record into buffer (at least kRfdRecordBuffer
// bytes; a smaller buffer gives -1). restart 0 starts at the beginning of the
// file, non-zero goes on. Returns the record's length in bytes (its 0x04
// included, a NUL after it) when one was delivered, 0 or -1 at the end.
int RfdReadRecord(int restart, platform::FileHandle h, char* buffer, std::size_t size);
// The same over a state of the caller's own.
int RfdReadRecord(RfdReadState& state, int restart, platform::FileHandle h, char* buffer, std::size_t size);

}  // namespace moldrin::capture
