// Any byte stream a peer can send through the virtual serial line, cut into
// pieces at arbitrary points: the decoder must stay within its buffer and agree with itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/virtual_line.h"

using moldrin::platform::vline::Message;
using moldrin::platform::vline::Parser;

namespace {
std::vector<Message> Decode(const uint8_t* data, size_t size, size_t piece) {
    Parser parser;
    std::vector<Message> out;
    for (size_t start = 0; start < size; start += piece) {
        size_t n = size - start < piece ? size - start : piece;
        size_t pos = 0;
        while (pos < n) {
            size_t used = 0;
            Message m;
            if (parser.Next(data + start + pos, n - pos, &used, m) == Parser::Result::Complete) out.push_back(m);
            if (used == 0 || used > n - pos) std::abort();
            pos += used;
        }
    }
    return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t piece = 1 + data[0] % 16;
    auto whole = Decode(data + 1, size - 1, size);
    auto split = Decode(data + 1, size - 1, piece);
    if (whole.size() != split.size()) std::abort();
    for (size_t i = 0; i < whole.size(); ++i) {
        const Message& a = whole[i];
        const Message& b = split[i];
        if (a.tag != b.tag || a.bits != b.bits || !(a.settings == b.settings) || a.length != b.length ||
            a.data != b.data)
            std::abort();
    }
    return 0;
}
