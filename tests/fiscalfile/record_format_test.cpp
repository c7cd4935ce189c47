// The record formatter against the format items the records use, and the
// bounded readers of fixed positions.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "fiscalfile/record_format.h"

namespace moldrin::fiscalfile {
namespace {

std::string F(const char* format, std::initializer_list<FormatArg> args) {
    std::array<char, 256> out{};
    const std::size_t n = FormatRecord(out, format, args);
    EXPECT_EQ(n, std::string(out.data()).size());
    return out.data();
}

TEST(FormatRecord, GivesTheBytesOfEachFormatItem) {
    struct Case {
        const char* format;
        FormatArg arg;
        const char* expected;
    } cases[] = {
        {"%-20.8s", Txt("12345678A"), "12345678            "},
        {"%-20.8s", Txt(""), "                    "},
        {"%06.4s", Txt("0123"), "000123"},
        {"%06.4s", Txt(""), "000000"},
        {"%06.4s", Txt("12"), "000012"},
        {"%06.4s", Txt("AB 1"), "00AB 1"},
        {"%013s", Txt("0"), "0000000000000"},
        {"%014s", Txt("123456789012"), "00123456789012"},
        {"%014s", Txt("1234567890123456"), "1234567890123456"},  // no precision: never cut
        {"%40.40s", Txt("RUA"), "                                     RUA"},
        {"%2.2s", Txt("ABCD"), "AB"},
        {"%s", Txt("as it is"), "as it is"},
        {"%c", Chr('A'), "A"},
        {"%c", Chr('\0'), " "},  // a NUL would cut the line
        {"%02u", Num(3), "03"},
        {"%03u", Num(1), "001"},
        {"%03u", Num(999), "999"},
        {"%03u", Num(1100), "999"},  // wider than its field
        {"%08.8I64u", Num(45), "00000045"},
        {"%013.13I64u", Num(0), "0000000000000"},
        {"%018.18I64u", Num(UINT64_MAX), "999999999999999999"},
        {"%018.18I64u", Num(12345), "000000000000012345"},
        {"%014.14I64u", Num(UINT64_MAX), "99999999999999"},
        {"%012.12I64u", Num(999999999999ULL), "999999999999"},
        {"%02d", Num(7), "07"},
        {"%-7.7s", Txt("01T1800X"), "01T1800"},
        {"%-3.3s", Txt("un"), "un "},
    };
    for (const auto& c : cases) EXPECT_EQ(F(c.format, {c.arg}), c.expected) << c.format;
}

TEST(FormatRecord, LiteralsMissingArgumentsAndACutBuffer) {
    EXPECT_EQ(F("E16%2.2s00%%", {Txt("RZ")}), "E16RZ00%");
    EXPECT_EQ(F("<%s|%04u|%c>", {}), "<|0000| >");
    // A text view that runs on past a NUL stops at it.
    EXPECT_EQ(F("%-6.6s|", {Txt(std::string_view("ab\0cd", 5))}), "ab    |");
    std::array<char, 5> small{};
    EXPECT_EQ(FormatRecord(small, "%s", {Txt("abcdefgh")}), 4u);
    EXPECT_EQ(std::string(small.data()), "abcd");
}

TEST(BlankControlBytes, KeepsOnlyTheClosingLineBreak) {
    struct Case {
        std::string line, expected;
    } cases[] = {
        {"E15AB\r\nCD\r\n", "E15AB  CD\r\n"},
        {"E15\tA\x01\x1B\x7F\x1F.\r\n", "E15 A    .\r\n"},
        {"E15 acentua\xE7\xE3o\r\n", "E15 acentua\xE7\xE3o\r\n"},  // Windows-1252 letters stay
        {"E15ABC\r", "E15ABC "},                                        // a CR alone does not close a record
        {"E15ABC\n", "E15ABC "},
        {"E15ABC", "E15ABC"},
        {"\r\n", "\r\n"},
        {"", ""},
    };
    for (const auto& c : cases) {
        std::array<char, 64> line{};
        std::copy(c.line.begin(), c.line.end(), line.begin());
        EXPECT_EQ(BlankControlBytes(line.data(), line.size()), c.expected.size());
        EXPECT_EQ(std::string(line.data()), c.expected) << c.line;
    }
    // Never past the cap, even without a NUL.
    std::array<char, 4> unterminated = {'\n', '\n', '\n', '\n'};
    EXPECT_EQ(BlankControlBytes(unterminated.data(), 2), 2u);
    EXPECT_EQ(std::string(unterminated.data(), 4), "  \n\n");
}

TEST(DigitsValue, CountsOnlyWholeDigitFields) {
    struct Case {
        std::string_view text;
        std::size_t n;
        uint64_t expected;
    } cases[] = {
        {"000000004380", 12, 4380},
        {"12345", 3, 123},
        {"0000 0004380", 12, 0},  // a blank inside
        {"12", 4, 0},             // shorter than the field: a NUL stands beyond it
        {"", 0, 0},
        {"99999999999999999", 17, 99999999999999999ULL},
        {"1234567890123456789012345678901234567890", 40, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(DigitsValue(c.text, c.n), c.expected) << c.text;
}

TEST(Part, ReadsBeyondTheEndAsNul) {
    const std::string_view text = "0123456789";
    EXPECT_EQ(Part(text, 2, 3), "234");
    EXPECT_EQ(Part(text, 8, 5), "89");
    EXPECT_EQ(Part(text, 10, 5), "");
    EXPECT_EQ(Part(text, 500, 5), "");
    EXPECT_EQ(Part(std::string_view("ab\0cd", 5), 0, 5), "ab");
    EXPECT_EQ(CharAt(text, 9), '9');
    EXPECT_EQ(CharAt(text, 10), '\0');
    EXPECT_EQ(TextOf("abc", 2), "ab");
}

}  // namespace
}  // namespace moldrin::fiscalfile
