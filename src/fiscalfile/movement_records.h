// The movement records of the work file: a coupon as its E15 item lines and its
// E14, every other document as E16, and a coupon's means of payment as E21.
// When they are written is the processing driver's and the coupon tracking's.
#pragma once
#include <cstdint>

namespace moldrin::fiscalfile {

// Returns where its E14 line begins in the file, -1 when none was written.
// `net`, when given, receives the coupon's net value (its E14 columns 109-122).
int32_t WriteDocument(intptr_t handle, bool notCancelled, uint64_t* net = nullptr);
// Turns the E14 line written at `at` into the one of a cancelled coupon (its
// cancellation column "S"), and goes back to the end of the file.
void MarkCouponCancelled(intptr_t handle, int32_t at);
// command: the captured text of the document's command ("\x1B." and its number).
void WriteE16(intptr_t handle, const char* command);
void WriteE21(intptr_t handle);

// The document kind of E16 for a captured command ("RZ", "LX", ...).
const char* DocumentKind(const char* command);

}  // namespace moldrin::fiscalfile
