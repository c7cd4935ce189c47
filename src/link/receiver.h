// Takes the printer's answer off the line: one reply record (". ... }", at most
// 128 bytes), or one STX ... ETX block.
#pragma once
#include <cstddef>

namespace moldrin::link {

constexpr std::size_t kRecordMax = 128;

// buffer must hold kRecordMax + 1 bytes. Record length, 0 (nothing usable), -1 (fault or abandon).
int ReceiveRecord(char* buffer);
// Bytes stored (STX ... ETX), 0 (nothing usable), -1 (fault). buffer holds max + 1 bytes.
int ReceiveBlock(char* buffer, int max);

}  // namespace moldrin::link
