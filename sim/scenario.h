// Scripted days for the simulated printer: a text of frames with the replies
// they must get, parsed and replayed. What the frames mean is fiscal_day's.
#pragma once
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace moldrin::sim {

struct ScenarioStep {
    std::string frame;                  // as sent, escapes resolved
    std::optional<std::string> expect;  // the reply it must get, when the script says
    int line = 0;                       // in the script, for messages
    std::string comment;                // the script's comment lines just before the frame, without "#"
};

// C escapes as a shell user types them: \e and \x1B for ESC, \n, \r, \t, \\,
// \xHH and octal \NNN. An unknown escape stands for itself.
std::string Unescape(std::string_view text);

// One frame a line (with escapes); blank lines are skipped, lines beginning
// with "#" go with the next frame as its comment; "= REPLY" is the reply
// expected for the frame before. Returns
// false, with the message in *error, for an expectation without a frame.
bool ParseScenario(std::string_view text, std::vector<ScenarioStep>* steps, std::string* error);
bool ReadScenario(const std::string& path, std::vector<ScenarioStep>* steps, std::string* error);

// Sends every frame through `send` in order and compares the replies. Writes
// each exchange, after its comment, to `transcript` when given, and every
// mismatch to `errors`.
// Returns the number of mismatches.
std::size_t ReplayScenario(const std::vector<ScenarioStep>& steps,
                           const std::function<std::string(const std::string&)>& send, std::FILE* transcript,
                           std::FILE* errors);

// A frame or reply as text for a UTF-8 terminal: ESC as \e, other control bytes as \xHH,
// the rest from Windows-1252 to UTF-8.
std::string Printable(std::string_view text);

}  // namespace moldrin::sim
