// The status queries: the frame each sends, the record each accepts, the
// four attempts and what is left when nothing fits.
#include "link/status_queries.h"

#include "link/receiver.h"
#include "link_fixture.h"

namespace moldrin::testing {
namespace {

class Status : public LinkTest {
protected:
    char buffer[link::kRecordMax + 1];
};

TEST_F(Status, EachQueryAcceptsTheSimulatorsRecord) {
    Open();
    const sim::PrinterState s = printer->State();
    EXPECT_EQ(link::Status23(buffer), 1);
    EXPECT_EQ(std::string(buffer), sim::Status23Record(s));
    EXPECT_EQ(link::Status27(buffer, '1'), 1);
    EXPECT_EQ(std::string(buffer), sim::Status27Record(s, '1'));
    EXPECT_EQ(link::Status29(buffer, '3'), 1);
    EXPECT_EQ(std::string(buffer), sim::Status29Record(s, '3'));
    EXPECT_EQ(printer->Frames(), (std::vector<std::string>{"\x1B.23}", "\x1B.271}", "\x1B.293}"}));
}

TEST_F(Status, Status28AnswersTheLastCommandNumberOrOne) {
    Open();
    EXPECT_EQ(link::Status28(buffer), 1);  // no command yet: number 0
    std::string c = "\x1B.30}";
    ECFWrite(c.c_str());
    EXPECT_EQ(link::Status28(buffer), 30);
}

TEST_F(Status, Status28LetterFrameAndResult) {
    struct Case {
        char letter;
        bool typed;
        const char* frame;
        int result;
    };
    const Case cases[] = {{'b', true, "\x1B.28B}", 1},   {'B', false, "\x1B.28B}", 0},
                          {'A', true, "\x1B.28}", 1},    {'}', true, "\x1B.28}", 1},
                          {'f', true, "\x1B.28F}", 1},   {'G', true, "\x1B.28}", 1}};
    Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.letter);
        printer->ClearFrames();
        printer->EditState([&](sim::PrinterState& s) { s.typedStatus28 = c.typed; });
        EXPECT_EQ(link::Status28Letter(buffer, c.letter), c.result);
        EXPECT_EQ(printer->Frames(), std::vector<std::string>{c.frame});
    }
}

TEST_F(Status, StrayPaperRecordIsSkippedAndBothAreLogged) {
    Open();
    const std::string paper = ".+P000.+0000}";
    const std::string full = sim::Status27Record(printer->State(), '1');
    printer->SetResponder([&](std::string_view) { return paper + full; });
    EXPECT_EQ(link::Status27(buffer, '1'), 1);
    EXPECT_EQ(std::string(buffer), full);
    EXPECT_EQ(Log(), (std::vector<std::string>{"\x1B.271}", paper, full}));
    EXPECT_EQ(printer->Frames().size(), 1u);
}

TEST_F(Status, SilentPrinterIsAskedFourTimes) {
    struct Case {
        const char* name;
        int (*query)(char*);
        const char* frame;
        int result;
    };
    const Case cases[] = {
        {"23", [](char* b) { return link::Status23(b); }, "\x1B.23}", -2},
        {"27", [](char* b) { return link::Status27(b, '1'); }, "\x1B.271}", 0},
        {"28", [](char* b) { return link::Status28(b); }, "\x1B.28}", 0},
        {"28C", [](char* b) { return link::Status28Letter(b, 'C'); }, "\x1B.28C}", -2},
        {"29", [](char* b) { return link::Status29(b, '1'); }, "\x1B.291}", -1},
    };
    Open(1);
    sim::Faults f;
    f.silent = true;
    printer->SetFaults(f);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        printer->ClearFrames();
        EXPECT_EQ(c.query(buffer), c.result);
        EXPECT_STREQ(buffer, ".-P006}");
        EXPECT_EQ(printer->Frames(), std::vector<std::string>(4, c.frame));
    }
}

TEST_F(Status, WrongRecordsAreAnsweredByAskingAgain) {
    Open(1);
    // First answers are not what the query wants; the fourth attempt gets it.
    int asked = 0;
    const std::string good = sim::Status29Record(printer->State(), '2');
    printer->SetResponder([&](std::string_view) -> std::optional<std::string> {
        return ++asked < 4 ? FullRecord("+T0009") : good;
    });
    EXPECT_EQ(link::Status29(buffer, '2'), 1);
    EXPECT_EQ(std::string(buffer), good);
    EXPECT_EQ(asked, 4);
}

TEST_F(Status, Status27LetterLIsClosedFromAnOverlongRecord) {
    Open(1);
    printer->SetResponder([](std::string_view) { return ".+C000L" + std::string(200, 'd'); });
    EXPECT_EQ(link::Status27(buffer, 'L'), 0);
    const std::string expected = ".+C000L" + std::string(120, 'd') + "}";
    EXPECT_EQ(std::string(buffer), expected);
}

TEST_F(Status, Status27LetterLFromAShortPieceIsBlankFilled) {
    Open(1);
    printer->SetResponder([](std::string_view) { return std::string(".+C000Labc"); });
    EXPECT_EQ(link::Status27(buffer, 'L'), 0);
    std::string expected = ".+C000Labc";
    expected.resize(127, ' ');
    expected += "}";
    EXPECT_EQ(std::string(buffer), expected);
}

TEST_F(Status, UnsentQueryLeavesNotDelivered) {
    Open(1);
    sim::Faults f;
    f.dsrLow = true;
    printer->SetFaults(f);
    EXPECT_EQ(link::Status27(buffer, '1'), -1);
    EXPECT_STREQ(buffer, ".-P002}");
}

}  // namespace
}  // namespace moldrin::testing
