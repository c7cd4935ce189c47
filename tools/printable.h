// Windows-1252 text made fit for a UTF-8 terminal: control bytes as \x1B-style
// escapes, the rest as UTF-8. Shared by the commands that print capture and log text.
#pragma once
#include <string>
#include <string_view>

namespace moldrin::tools {

// `lineEnds`: CR LF (and a lone LF) end lines instead of being escaped.
std::string Printable(std::string_view text, bool lineEnds = false);

}  // namespace moldrin::tools
