// The serial traffic log: one time-stamped line per call, in one file per
// weekday and port under c:\TEMP, renewed weekly or at a size limit.
#pragma once
#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace moldrin::log {

// The file a line written at `when` for the zero-based port goes to, in its drive form.
std::string TrafficLogPath(const platform::LocalTime& when, int32_t portIndex);

// Appends one line; 0 written (or the log is off), -1 failed (the operator was told).
int LogSerial(const char* text);
// printf-style convenience; the formatted text is cut at 2047 characters.
int LogSerialf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// LogPath is written by every line, from any thread: these read and empty it
// under the log's own lock.
void ClearLogPath();
// Copies LogPath with its NUL into out (room for kLogPathSize bytes).
void CopyLogPath(char* out);

}  // namespace moldrin::log
