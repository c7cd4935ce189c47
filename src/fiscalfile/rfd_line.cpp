// Accepting capture lines: every position is read within the decoded line,
// whatever its length.
#include "fiscalfile/rfd_line.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "store/rfd_codec.h"
#include "fiscalfile/record_format.h"
#include "log/file_helpers.h"

namespace moldrin::fiscalfile {

namespace {

uint32_t NumberAt(std::string_view line, std::size_t pos, std::size_t n) {
    // The time stamp's fields are digits in every line the capture wrote: read
    // them at once; anything else is read as ParseNumber reads it.
    if (pos + n <= line.size()) {
        uint32_t v = 0;
        std::size_t i = 0;
        for (; i < n && line[pos + i] >= '0' && line[pos + i] <= '9'; ++i) v = v * 10 + static_cast<uint32_t>(line[pos + i] - '0');
        if (i == n) return v;
    }
    char work[8] = {};
    const std::string_view p = Part(line, pos, n);
    std::copy(p.begin(), p.end(), work);
    return log::ParseNumber(work, static_cast<int>(n));
}

}  // namespace

char* RfdVerifyLine(char* line, std::size_t size) {
    if (!line) return nullptr;
    const std::size_t length = strnlen(line, size);
    const std::string_view text(line, length);
    const std::size_t open = text.find('<');
    if (open == std::string_view::npos) return nullptr;
    const std::size_t close = text.find('>', open);
    if (close == std::string_view::npos) return nullptr;
    const std::size_t esc = text.find('\x1B', open);
    if (esc == std::string_view::npos) return nullptr;
    const std::size_t brace = text.find('}', esc);
    if (brace == std::string_view::npos) return nullptr;

    char hex[9] = {};
    const std::string_view digits = Part(text, open + 1, close - open - 1 < 8 ? close - open - 1 : 8);
    std::copy(digits.begin(), digits.end(), hex);
    const uint32_t stored = capture::HexValue(hex, 8);

    const uint32_t seed = NumberAt(text, 20, 3) * NumberAt(text, 17, 2) * NumberAt(text, 14, 2) * NumberAt(text, 0, 2);
    if (brace + 1 < size) line[brace + 1] = 0;
    if (capture::RfdLineChecksum(line + esc, seed) != stored) return nullptr;
    return line + esc;
}

LineVerdict AcceptLine(const char* record, std::size_t length, char* line, std::size_t size, char** text) {
    *text = nullptr;
    if (!record || !line || size < capture::kRfdLineBuffer) return LineVerdict::Skipped;
    if (capture::RfdDecodeRecord({line, size}, {record, length}) <= 0) return LineVerdict::Skipped;
    const std::string_view decoded(line, strnlen(line, size));
    for (std::size_t pos : {0, 1, 3, 4, 6, 7, 8, 9}) {
        const char c = CharAt(decoded, pos);
        if (c < '0' || c > '9') return LineVerdict::Skipped;
    }
    *text = RfdVerifyLine(line, size);
    return *text ? LineVerdict::Accepted : LineVerdict::Inconsistent;
}

}  // namespace moldrin::fiscalfile
