// The day's RFD capture file: its name and directory, writing one record,
// recording a status query with its reply, and the computer-clock warning.
// The stored form is rfd_codec's; reading records back is rfd_reader's.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/clock.h"

namespace moldrin::capture {

inline constexpr const char kRfdDirectory[] = "c:\\TALMA\\RFD";

// Month name of month 1 to 12 (Windows-1252), nullptr outside.
const char* MonthName(int month);

// Full name of the RFD file for a day: "c:\TALMA\RFD\RFD-05-Março-2008.bin".
// False when the month has no name or the buffer is too small.
bool RfdFileName(char* out, std::size_t size, int day, int month, int year);

// The file that a record written at `now` goes to: the fiscal date's (with its
// own year) when one is known, the next day's for the document that opens it
// after a closed day, else the file in use or the computer's date.
bool RfdCurrentFileName(char* out, std::size_t size, const platform::LocalTime& now);

// Appends one record for the NUL-terminated text; 1 when it is written, -1 on
// failure (the operator has been told). Written means handed to the system,
// which keeps it whatever becomes of the process; it reaches the disk, against
// a power loss, with the next command's record (RfdWriteCommand) or RfdFlush.
// A record the disk has no room for is held (1 all the same, the operator
// told) and goes to the file ahead of the next record written to it; a command
// is sent only after it.
int RfdWriteLine(const char* text);

// Records an application's command (NUL-terminated, ending with its "}"),
// whatever its length: a command too long for one record goes as its head,
// closed by "}", followed by records that carry the rest after
// kRfdContinuation, the last one ending with the command's own "}". All of it
// is written at once. 1 when it is on disk together with every record written
// before it, -1 on failure (the operator has been told; nothing of it may be
// on disk, though some may have been written).
int RfdWriteCommand(const char* command);

// Brings the records written since the last command's, and the held ones, to
// the disk. 1 when they are (or there were none), -1 when the flush failed or
// the held records still find no room (the operator has been told); either
// way the written ones are no longer waiting.
int RfdFlush();
// Forgets the records a full disk held back from their file (a fresh root).
void RfdDropHeld();

// RfdFlush once the oldest record not on disk has waited `idleMs`; 1 before.
int RfdFlushIdle(uint32_t idleMs);

// What opens a record that carries the rest of the command recorded before
// it; not a command code, so a reader that knows nothing of it passes it by.
inline constexpr const char kRfdContinuation[] = "\x1B.&&";

// Records a status query with its reply as one line. The query's closing "}"
// becomes "|" in the caller's buffer, and the reply (at least 129 bytes) is
// cut at 128 characters. 0 for an empty query, else RfdWriteLine's result.
int RfdRecordQuery(char* query, char* reply);

// Compares two DDMMYY dates: 0 equal, -1 when a is earlier, 1 when later.
int CompareDdmmyy(const char* a, const char* b);

// Creates every directory along a Windows path, ignoring those that exist.
void MakeDirectoryPath(const char* path);

}  // namespace moldrin::capture
