// Replaying one day's capture file into the work file of movement records,
// and handing it to the final assembly at its end or at a change of printer.
// What each record holds is header_/movement_records'; the coupon, coupon_tracking's.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>

namespace moldrin::fiscalfile {

// 1 processed and assembled; 0 nothing could be done (no registration, work
// file or memory); -1 the capture file could not be opened or closed.
int ProcessRfdFile(const char* path);
// For the next ProcessRfdFile only: the capture file ends with a Z reduction
// that the printer is known to have carried out (its counter moved on),
// although its reply was never read.
void ReductionTakenAtEnd();

// Takes the snapshots SavedStatus1 and SavedStatus3 from the replies, never
// replacing counters by zeros.
void SnapshotStatus();
// Sum of the non-fiscal totalizers of replies 27-7 to 27-E.
uint64_t NonFiscalSum();

// Lines of the capture file last replayed that were passed over as damaged: a
// record that does not decode or carries no date, one whose check value is wrong,
// and one cut short by the file's end. The day's file is made without them;
// whoever made it by hand is told how many there were.
inline std::atomic<int> g_skippedLines{0};
// Coupons of the capture file last replayed whose close nothing in the file
// answers (its reply and the status after it missing): written with their
// items, without payment lines, as the file cannot tell them.
inline std::atomic<int> g_paymentsUnknown{0};

// The Z-reduction counter (reply 27-1, 40-43) when the last coupon or document
// finished; empty at the start.
inline std::array<char, 5> g_documentCrzText{};

}  // namespace moldrin::fiscalfile
