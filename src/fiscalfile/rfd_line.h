// Judging one decoded line of a capture file: its time stamp and its check
// value, and cutting it to the recorded text. Reading records is rfd_reader's.
#pragma once
#include <cstddef>

namespace moldrin::fiscalfile {

// Checks a decoded, NUL-terminated line (at most `size` bytes) against its check
// value and ends it after the "}" that closes its recorded text. Returns the
// recorded text (from its ESC), or nullptr when a part is missing or the check
// value differs.
char* RfdVerifyLine(char* line, std::size_t size);

enum class LineVerdict { Accepted, Skipped, Inconsistent };
// Decodes a stored record into line (at least capture::kRfdLineBuffer bytes) and
// judges it: Skipped when it does not decode or carries no date, Inconsistent
// when its check fails, Accepted with *text set to the recorded text.
LineVerdict AcceptLine(const char* record, std::size_t length, char* line, std::size_t size, char** text);

}  // namespace moldrin::fiscalfile
