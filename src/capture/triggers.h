// What starts the fiscal file generation from the capture after a daily
// closing: the latest capture file, then earlier days without a fiscal file.
#pragma once

#include "store/capture_state.h"

namespace moldrin::capture {

// The result of ProcessRfdFile for the most recent capture file of the last
// 32 days; 0 when there is none; -1 when it could not be closed.
int ProcessLatestRfd();
// Processes the earlier days (before today, else before the fiscal date, a
// DDMMYY text) whose fiscal file is missing. 1, or 0 without a registration,
// or -1 on a close failure.
int ProcessPendingDays(const char* fiscalDate);

// The day before: the last day of the previous month from the 1st, February
// having 29 days in every year divisible by 4.
CalendarDay DayBefore(CalendarDay d);

}  // namespace moldrin::capture
