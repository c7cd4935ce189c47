// Stored form of capture records: check values, the worked example, round
// trips over the awkward shapes (runs, digit runs, control bytes, longest records).
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "store/rfd_codec.h"
#include "worst_line.h"

namespace moldrin::capture {
namespace {

std::string Encode(const std::string& line) {
    std::array<char, kRfdRecordBuffer> out{};
    int n = RfdEncodeRecord(out, line.c_str());
    return std::string(out.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string Decode(const std::string& record, int* result = nullptr) {
    std::array<char, kRfdLineBuffer> out{};
    int n = RfdDecodeRecord(out, {record.data(), record.size()});
    if (result) *result = n;
    return std::string(out.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string Line(const std::string& text) { return "05/03/2008 10:20:30.400 <1B93> = " + text + "\r\n"; }

TEST(RfdLineChecksum, MatchesKnownValues) {
    EXPECT_EQ(RfdLineChecksum("abc", 0), 0x251A);
    EXPECT_EQ(RfdLineChecksum("abc", 1), 0x2517);
    // ESC counts; any other control byte ends the text.
    EXPECT_EQ(RfdLineChecksum("\x1B" "abc", 0), (0x1B + 3068 + 0x251A) & 0xFFFF);
    EXPECT_EQ(RfdLineChecksum("abc\r\ndef", 0), 0x251A);
    EXPECT_EQ(RfdLineChecksum("", 7), 0);
    // Bytes above 0x7F count unsigned.
    EXPECT_EQ(RfdLineChecksum("\xE7", 0), (0xE7 + 3068) & 0xFFFF);
}

TEST(RfdEncodeRecord, WorkedExampleByteForByte) {
    const std::string text = "\x1B.00.+0000}";
    ASSERT_EQ(RfdLineChecksum(text.c_str(), 400u * 20u * 30u * 5u), 0x1B93);
    const std::string line = Line(text);
    ASSERT_EQ(line.size(), 46u);
    const unsigned char expected[] = {0x87, 0x0B, 0x85, 0x0C, 0xFB, 0x7E, 0x00, 0x80, 0xAB, 0xA5, 0xA7, 0xA8, 0xA7,
                                      0xA4, 0x7A, 0x0F, 0x93, 0xAF, 0x91, 0xAE, 0xA2, 0xA7, 0xAF, 0x9D, 0xA7, 0x8A,
                                      0x0D, 0x0A, 0x99, 0x98, 0x9B, 0x94, 0x95, 0x97, 0x9D, 0x92, 0x93, 0x9A, 0x8F,
                                      0x8F, 0x7D, 0x5E, 0xFB, 0x7C, 0x5C, 0x87, 0x8A, 0x86, 0x84, 0x89, 0x83, 0x04};
    EXPECT_EQ(Encode(line), std::string(reinterpret_cast<const char*>(expected), sizeof expected));
    EXPECT_EQ(Decode(Encode(line)), line);
}

TEST(RfdEncodeRecord, RoundTripsAwkwardLines) {
    std::string allBytes;
    for (int c = 1; c < 256; ++c) allBytes += static_cast<char>(c);
    const std::vector<std::string> texts = {
        "\x1B.271|.+C1000000000000000000000000000000000000000000}",
        std::string(200, 'x'),               // one run of 127 and the rest apart
        std::string(127, '=') + "ab",        // a run of exactly the longest
        "12345",                             // odd digit count: one digit left over
        "0000000000123",                     // a run of zeros inside a digit group
        std::string(300, '7'),               // digit run longer than 255
        "1" + std::string(255, '9') + "2",   // digit run of 257 (old count 0x01 after masking)
        std::string(256, '5').replace(0, 1, "4"),
        allBytes.substr(0, 200),             // every control byte once
        allBytes.substr(200),
        "\r\n\r\n\x04\x04\x04",              // the record's own separators in the text
    };
    for (const auto& text : texts) {
        const std::string line = Line(text);
        if (line.size() > kRfdLineMax) continue;
        const std::string record = Encode(line);
        ASSERT_FALSE(record.empty()) << text;
        EXPECT_EQ(Decode(record), line) << text;
        EXPECT_TRUE(RfdRecordShapeValid({record.data(), record.size()}));
        // 0x04 only at the end, exactly one CR LF pair.
        EXPECT_EQ(record.find('\x04'), record.size() - 1);
        EXPECT_NE(record.find("\r\n"), std::string::npos);
        EXPECT_EQ(record.find('\r', record.find("\r\n") + 1), std::string::npos);
        EXPECT_EQ(record.find('\n', record.find("\r\n") + 2), std::string::npos);
    }
}

TEST(RfdEncodeRecord, LongDigitRunsPackInGroupsTheDecoderReads) {
    const std::string line = Line(std::string(470, '3').replace(10, 1, "8"));
    ASSERT_EQ(line.size(), 505u);
    const std::string record = Encode(line);
    ASSERT_FALSE(record.empty());
    EXPECT_EQ(Decode(record), line);
}

TEST(RfdEncodeRecord, RefusesLinesOutsideTheLimits) {
    EXPECT_EQ(Encode("0123456789abcd\r\n"), "");  // 16 characters
    EXPECT_NE(Encode("0123456789abcde\r\n"), "");
    EXPECT_NE(Encode(std::string(508, 'q').replace(1, 1, "r") + "\r\n"), "");  // 510
    EXPECT_EQ(Encode(std::string(509, 'q') + "\r\n"), "");                    // 511
    std::array<char, kRfdStoredMax> small{};
    EXPECT_EQ(RfdEncodeRecord(small, "0123456789abcde\r\n"), 0);
}

TEST(RfdEncodeRecord, RefusesLinesThatNeedMoreThanTheWorkArea) {
    // Control bytes take two positions each: the line cannot be stored whole,
    // and a stored tail without its time stamp would be worthless.
    std::string text;
    for (int i = 0; i < 240; ++i) text += (i % 2) ? '\x01' : '\x02';
    EXPECT_EQ(Encode(Line(text)), "");
}

TEST(RfdDecodeRecord, AcceptsTheLongestRecordTheEncoderWrites) {
    std::size_t longest = 0;
    for (std::size_t length : {280u, 400u, 465u, 500u, 510u}) {
        const std::string line = WorstLine(length);
        const std::string record = Encode(line);
        ASSERT_FALSE(record.empty()) << length;
        EXPECT_GT(record.size(), 512u) << length;
        EXPECT_LE(record.size(), kRfdStoredMax);
        EXPECT_EQ(Decode(record), line) << length;
        longest = std::max(longest, record.size());
    }
    EXPECT_GT(longest, 900u);
}

TEST(RfdDecodeRecord, RejectsMalformedRecords) {
    const std::string good = Encode(Line("\x1B.00.+0000}"));
    int result = -1;
    Decode(good.substr(0, good.size() - 1), &result);  // no 0x04
    EXPECT_EQ(result, 0);
    Decode(std::string(kRfdStoredMax, 'a') + "\x04", &result);  // 0x04 beyond the longest record
    EXPECT_EQ(result, 0);
    Decode(std::string("ab\x00\x04", 4), &result);  // escape without its byte
    EXPECT_EQ(result, 0);
    Decode(std::string("\x04"), &result);  // empty record decodes to an empty line
    EXPECT_EQ(result, 0);
    // A too-small output area is refused, not overrun.
    std::array<char, 100> small{};
    EXPECT_EQ(RfdDecodeRecord(small, {good.data(), good.size()}), 0);
}

TEST(RfdRecordShapeValid, SeesRecordsRunTogether) {
    const std::string a = Encode(Line("\x1B.00.+0000}"));
    const std::string b = Encode(Line("\x1B.271|.+C1}"));
    EXPECT_TRUE(RfdRecordShapeValid({a.data(), a.size()}));
    const std::string cut = a.substr(0, 10) + b;  // cut before its CR LF
    EXPECT_FALSE(RfdRecordShapeValid({cut.data(), cut.size()}));
    const std::string cutLate = a.substr(0, a.size() - 3) + b;  // two CR LF pairs
    EXPECT_FALSE(RfdRecordShapeValid({cutLate.data(), cutLate.size()}));
}

TEST(HexValue, ReadsEitherCaseUpToANonDigit) {
    EXPECT_EQ(HexValue("1B93>", 4), 0x1B93u);
    EXPECT_EQ(HexValue("1b93", 4), 0x1B93u);
    EXPECT_EQ(HexValue("fFz", 4), 0xFFu);
    EXPECT_EQ(HexValue("12345", 4), 0x1234u);
}

}  // namespace
}  // namespace moldrin::capture
