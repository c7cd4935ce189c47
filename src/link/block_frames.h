// The block frames of the later models on the line: checksum, framing and
// sending with retries, the checked reader and its decoding, and the trace.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace moldrin::link {

inline constexpr char kStx = 0x02, kEtx = 0x03, kAck = 0x06, kDle = 0x10, kNak = 0x15, kSyn = 0x16,
                      kEsc = 0x1B;

// A frame with the longest text command, its checksum and the closing ESC "." "}".
inline constexpr std::size_t kBlockFrameMax = 2100;
// Raw bytes ReadCheckedBlock keeps of one block, STX and checksum included.
inline constexpr std::size_t kCheckedBlockRaw = 1399;

// Sum of the bytes modulo 256.
uint8_t BlockChecksum(const char* bytes, std::size_t count);

// Appends checksum and ESC "." "}" to a block text that runs from STX through
// ETX; the frame's length, or 0 when it does not fit.
std::size_t CloseBlockFrame(std::span<char> frame, std::size_t textLength);

// Decoded length (> 0; the output starts with STX, NUL-terminated); 0 nothing
// came in time; -1 port fault; -2 a block began but did not end properly (or
// did not fit the output); -3 checksum mismatch.
int ReadCheckedBlock(uint32_t limitMs, char start, char end, std::span<char> out);

// Sends "STX text ETX" and waits for the printer's answering block, asking the
// operator whether to go on while none comes. Decoded length (> 0), or -1.
int SendBlockWithRetry(const char* text, std::span<char> out);

// How long the unattended retries of SendBlockWithRetry may go on (the retry
// question answers yes by itself while dialogs are off).
inline constexpr uint32_t kUnattendedRetryMs = 60000;

// Block traffic, readable (control bytes by name), for whoever asks to see it.
using BlockTraceSink = void (*)(const char* line);
void SetBlockTrace(BlockTraceSink sink);
// "prefix" followed by the bytes, readable, to the sink when one is set.
void TraceBlock(const char* prefix, const char* bytes, std::size_t count);

}  // namespace moldrin::link
