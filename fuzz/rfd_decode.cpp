// Fuzzes the record decoder with arbitrary bytes, and the encoder with
// arbitrary lines: whatever the encoder writes must decode to the same line.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "store/rfd_codec.h"

using namespace moldrin::capture;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::array<char, kRfdLineBuffer> line{};
    const int n = RfdDecodeRecord(line, {reinterpret_cast<const char*>(data), size});
    if (n < 0 || static_cast<size_t>(n) >= line.size() || line[static_cast<size_t>(n)] != 0) std::abort();
    RfdRecordShapeValid({reinterpret_cast<const char*>(data), size});

    // The same bytes as a line (up to their first NUL).
    const std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    std::array<char, kRfdRecordBuffer> record{};
    const int stored = RfdEncodeRecord(record, text.c_str());
    if (stored <= 0) {
        // Only lines of the wrong length, or that need more than the work area, are refused.
        if (text.size() >= kRfdLineMin && text.size() <= kRfdLineMax && text.size() * 2 <= kRfdPositionsMax) std::abort();
        return 0;
    }
    const size_t length = static_cast<size_t>(stored);
    if (length > kRfdStoredMax || record[length - 1] != 0x04) std::abort();
    if (std::memchr(record.data(), 0x04, length - 1)) std::abort();
    if (!RfdRecordShapeValid({record.data(), length})) std::abort();
    std::array<char, kRfdLineBuffer> back{};
    if (RfdDecodeRecord(back, {record.data(), length}) != static_cast<int>(text.size())) std::abort();
    if (text != back.data()) std::abort();
    return 0;
}
