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

// A daily closing whose processing has begun leaves a note on disk until it
// is done, so that a closing cut short (the application killed while the
// fiscal file was being made) is finished by the next session. The note
// names the capture file that holds the closing and the fiscal date closed.
inline constexpr const char kClosingNote[] = "c:\\TALMA\\RFD\\FECHAMENTO.PEN";
// 1 when the note is on disk. With `reductionCounter` (the printer's 4-digit
// Z counter before the reduction) the note is written before the command is
// sent: the reduction is then only known to be done when the printer's
// counter moved past it.
int NoteClosingBegun(const char* rfdFile, const char* fiscalDate, const char* reductionCounter = nullptr);
void NoteClosingDone();
// Processes the day of a closing cut short, and the earlier days still
// without a fiscal file, then forgets the note. 1 when a closing was
// finished, 0 when none was pending.
int FinishInterruptedClosing();

// The day before: the last day of the previous month from the 1st, February
// having 29 days in every year divisible by 4.
CalendarDay DayBefore(CalendarDay d);

}  // namespace moldrin::capture
