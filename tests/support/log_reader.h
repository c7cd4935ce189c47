// Reads the traffic log a test session left, line by line without time stamps.
#pragma once
#include <string>
#include <vector>

#include "support/scratch_root.h"

namespace moldrin::testing {

// The log file's lines, each without its "\r\nDD/MM/YYYY HH:MM:SS == " stamp.
std::vector<std::string> LogLines(const ScratchRoot& root, const char* windowsPath);
// The lines of the file LogPath names now.
std::vector<std::string> CurrentLogLines(const ScratchRoot& root);
// All text of the log files under c:\TEMP, lines as above, in file order.
std::vector<std::string> AllLogLines(const ScratchRoot& root);

}  // namespace moldrin::testing
