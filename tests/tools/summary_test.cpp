// "moldrin summary" on a fiscal file made here column by column: what each
// record type adds to the day's figures, and what a damaged column does not.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "support/scratch_root.h"
#include "tool_process.h"

namespace moldrin {
namespace {

using testing::ToolResult;

// A record with `fields` put at their 1-based columns, blanks elsewhere.
std::string Record(const char* type, std::size_t width, std::initializer_list<std::pair<std::size_t, std::string>> fields) {
    std::string line(width, ' ');
    line.replace(0, 3, type);
    for (const auto& [column, text] : fields) line.replace(column - 1, text.size(), text);
    return line + "\r\n";
}

TEST(SummaryTool, AddsUpWhatTheRecordsSayAndNothingElse) {
    testing::ScratchRoot root;
    const std::string file =
        Record("E14", 191, {{109, "00000000012345"}, {123, "N"}}) +
        Record("E14", 191, {{109, "00000000099999"}, {123, "S"}}) +  // cancelled: no sale
        Record("E14", 191, {{109, "0000000000100X"}, {123, "N"}}) +  // a damaged value counts as nothing
        Record("E15", 267, {{231, "N"}}) + Record("E15", 267, {{231, "S"}}) +
        Record("E16", 90, {{69, "000007"}, {75, "LX"}}) + Record("E16", 90, {{69, "000008"}, {75, "RZ"}}) +
        Record("E21", 106, {{65, "Dinheiro       "}, {80, "0000000100000"}, {93, "N"}}) +
        Record("E21", 106, {{65, "Cheque         "}, {80, "0000000000050"}, {93, "N"}}) +
        Record("E21", 106, {{65, "Dinheiro       "}, {80, "0000000000000"}, {93, "S"}, {94, "0000000000200"}});
    root.Write("c:\\DIA.TXT", file);
    const ToolResult r = testing::RunTool({"summary", "c:\\DIA.TXT"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "records: E14 3, E15 2, E16 2, E21 3\n"
              "coupons: 3 (1 cancelled), items 2 (1 cancelled), sales R$ 123,45\n"
              "documents: LX 1, RZ 1; Z reduction number 000008\n"
              "payments: Dinheiro R$ 1.000,00, Cheque R$ 0,50\n"
              "signed: no EAD line\n");

    const ToolResult missing = testing::RunTool({"summary", "c:\\DIA.TXT", "c:\\NADA.TXT"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot read c:\\NADA.TXT"), std::string::npos) << missing.err;
    EXPECT_NE(missing.out.find("  records: E14 3,"), std::string::npos) << "the readable file is still summed up";
}

// Counting the lines of some other file would pass it off as a day's records.
TEST(SummaryTool, RefusesAFileThatIsNotAFiscalFile) {
    testing::ScratchRoot root;
    const std::string e14 = Record("E14", 191, {{109, "00000000012345"}, {123, "N"}});
    std::string split = Record("E15", 267, {{231, "N"}});
    split.replace(100, 1, "\r\n");  // an item line broken by a line break in its description
    struct Case {
        const char* what;
        std::string bytes;
        std::string why;
    } cases[] = {
        {"a capture file", std::string("\x01\x02\x03\x7F\x80\xFE\x04\x04", 8), "line 1 does not end in CR LF"},
        {"a text", "Relatorio do dia\r\nTotal 123,45\r\n", "line 1 is not a record: Relatorio do dia"},
        {"an empty file", "", "the file is empty"},
        {"a record split in two", e14 + split, "line 2, E15, has 100 characters instead of 267"},
        {"a record too long", e14 + Record("E16", 91, {}), "line 2, E16, has 91 characters instead of 90"},
        {"lines ended by LF alone", e14.substr(0, 191) + "\n", "line 1 does not end in CR LF"},
        {"a last line without its end", e14 + e14.substr(0, 191), "line 2 does not end in CR LF"},
    };
    for (const auto& c : cases) {
        root.Write("c:\\OUTRO.TXT", c.bytes);
        const ToolResult r = testing::RunTool({"summary", "c:\\OUTRO.TXT"});
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_NE(r.err.find("c:\\OUTRO.TXT: not a fiscal file: " + c.why), std::string::npos) << c.what << ": " << r.err;
    }
}

}  // namespace
}  // namespace moldrin
