// Windows-1252 to terminal text: the escapes the tool prints for control bytes, and
// the line ends of the traffic log. The code page table itself is the platform's.
#include "tools/printable.h"

#include <cstdio>

#include "platform/operator.h"

namespace moldrin::tools {

std::string Printable(std::string_view text, bool lineEnds) {
    std::string out;
    out.reserve(text.size());
    std::size_t plain = 0;  // start of the run of printable bytes not yet converted
    auto flush = [&](std::size_t end) {
        if (end > plain) out += platform::Cp1252ToUtf8(text.substr(plain, end - plain));
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7F) continue;
        flush(i);
        plain = i + 1;
        if (lineEnds && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            out += '\n';
            plain = ++i + 1;
        } else if (lineEnds && c == '\n') {
            out += '\n';
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        }
    }
    flush(text.size());
    return out;
}

}  // namespace moldrin::tools
