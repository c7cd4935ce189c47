// The virtual line's message coding: exact bytes, decoding in any split, and
// recovery from bytes that are no message; the sockets are tested elsewhere.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "platform/virtual_line.h"

namespace moldrin::platform::vline {
namespace {

std::vector<Message> DecodeAll(const std::vector<uint8_t>& bytes, size_t piece, int* bad = nullptr) {
    Parser parser;
    std::vector<Message> out;
    for (size_t start = 0; start < bytes.size(); start += piece) {
        size_t n = std::min(piece, bytes.size() - start);
        size_t pos = 0;
        while (pos < n) {
            size_t used = 0;
            Message m;
            auto r = parser.Next(bytes.data() + start + pos, n - pos, &used, m);
            pos += used;
            if (r == Parser::Result::Complete) out.push_back(m);
            if ((r == Parser::Result::BadTag || r == Parser::Result::BadLength) && bad) ++*bad;
        }
    }
    return out;
}

TEST(VirtualLineCodec, EncodesEachMessageExactly) {
    struct Case {
        const char* name;
        std::vector<uint8_t> encoded;
        std::vector<uint8_t> expected;
    };
    std::vector<uint8_t> d, m, s, e;
    const uint8_t data[] = {0x1B, '.', '2', '7', '}'};
    AppendData(d, data, sizeof data);
    AppendModem(m, kPrinterCts | kPrinterDsr);
    AppendSettings(s, {115200, 7, 2, 2});
    AppendErrors(e, 8 | 2);
    const Case cases[] = {
        {"data", d, {'D', 5, 0x1B, '.', '2', '7', '}'}},
        {"modem", m, {'M', 0x30}},
        {"settings", s, {'S', 0x00, 0xC2, 0x01, 0x00, 7, 2, 2}},
        {"errors", e, {'E', 10}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.encoded, c.expected) << c.name;
}

TEST(VirtualLineCodec, LongDataIsSplitIntoFullMessagesAndNoDataIntoNone) {
    std::vector<uint8_t> data(600);
    std::iota(data.begin(), data.end(), 0);
    std::vector<uint8_t> out;
    AppendData(out, data.data(), 0);
    EXPECT_TRUE(out.empty());
    AppendData(out, data.data(), data.size());
    ASSERT_EQ(out.size(), 600u + 3 * 2);
    EXPECT_EQ(out[0], 'D');
    EXPECT_EQ(out[1], 255);
    EXPECT_EQ(out[257], 'D');
    EXPECT_EQ(out[258], 255);
    EXPECT_EQ(out[514], 'D');
    EXPECT_EQ(out[515], 90);

    auto messages = DecodeAll(out, out.size());
    ASSERT_EQ(messages.size(), 3u);
    std::vector<uint8_t> back;
    for (const auto& msg : messages) back.insert(back.end(), msg.data.begin(), msg.data.begin() + msg.length);
    EXPECT_EQ(back, data);
}

// The stream gives messages in arbitrary pieces: every split must decode the same.
TEST(VirtualLineCodec, DecodesTheSameWhateverTheSplit) {
    std::vector<uint8_t> stream;
    std::vector<uint8_t> data(300, 0x44);  // 'D' bytes inside data must not be taken for tags
    AppendModem(stream, kHostDtr | kHostRts);
    AppendSettings(stream, {9600, 8, 0, 0});
    AppendData(stream, data.data(), data.size());
    AppendErrors(stream, 16);
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{256}, stream.size()}) {
        auto messages = DecodeAll(stream, piece);
        ASSERT_EQ(messages.size(), 5u) << "piece " << piece;
        EXPECT_EQ(messages[0].tag, kTagModem);
        EXPECT_EQ(messages[0].bits, kHostDtr | kHostRts);
        EXPECT_EQ(messages[1].tag, kTagSettings);
        EXPECT_EQ(messages[1].settings, (WireSettings{9600, 8, 0, 0}));
        EXPECT_EQ(messages[2].length, 255);
        EXPECT_EQ(messages[3].length, 45);
        EXPECT_EQ(messages[3].data[44], 0x44);
        EXPECT_EQ(messages[4].tag, kTagErrors);
        EXPECT_EQ(messages[4].bits, 16);
    }
}

TEST(VirtualLineCodec, SkipsUnknownTagsAndEmptyDataAndResumes) {
    std::vector<uint8_t> stream = {'x', 0x00, 'D', 0, 'M', 0x10, 'D', 2, 'o', 'k'};
    for (size_t piece : {size_t{1}, stream.size()}) {
        int bad = 0;
        auto messages = DecodeAll(stream, piece, &bad);
        EXPECT_EQ(bad, 3) << "piece " << piece;  // 'x', 0x00, and the empty 'D'
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[0].tag, kTagModem);
        EXPECT_EQ(messages[0].bits, 0x10);
        EXPECT_EQ(messages[1].length, 2);
        EXPECT_EQ(messages[1].data[1], 'k');
    }
}

TEST(VirtualLineCodec, ReportsAPartialMessageUntilItEnds) {
    Parser parser;
    Message m;
    size_t used = 0;
    const uint8_t head[] = {'S', 0x80, 0x25};
    EXPECT_EQ(parser.Next(head, sizeof head, &used, m), Parser::Result::NeedMore);
    EXPECT_EQ(used, sizeof head);
    EXPECT_TRUE(parser.InMessage());
    const uint8_t tail[] = {0, 0, 8, 0, 0, 'M'};
    EXPECT_EQ(parser.Next(tail, sizeof tail, &used, m), Parser::Result::Complete);
    EXPECT_EQ(used, 5u);  // stops at the end of the message, leaving the next tag
    EXPECT_EQ(m.settings.baudRate, 9600u);
    EXPECT_FALSE(parser.InMessage());
}

}  // namespace
}  // namespace moldrin::platform::vline
