// The block protocol path of the later printer models and the fast byte writer.
#pragma once
#include <cstdint>

namespace moldrin::link {

// Offers an application command to the block protocol path.
// 0 not taken; 1 done (reply in ReplyBuffer); -1 failed before sending; -2 after.
int BulkCommand(const char* command);
// Count 0: text mode up to the first "}" (at most 512 bytes); else binary mode.
int TxFast(const char* bytes, uint32_t count);

}  // namespace moldrin::link
