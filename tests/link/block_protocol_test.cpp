// The block protocol path against a later simulated model: which commands it
// takes, the item and text blocks, the verdicts, the reading, the retries and
// their bound, the checked reader's decoding, and the fast writer's counts.
#include <array>
#include <deque>
#include <functional>
#include <mutex>

#include "link/block_frames.h"
#include "link/block_protocol.h"
#include "link_fixture.h"
#include "serial/checked.h"

namespace moldrin::testing {
namespace {

// An item command as the application writes it, field by field.
struct ItemFields {
    std::string code = "7891234567890";
    std::string quantity = "0001";
    std::string decimals = "000";
    std::string price = "000001250";
    char marker = '?';
    std::string unit = "UN";
    std::string description = "ARROZ TIPO 1 5KG     ";  // 21
    std::string rate = "T01";
    std::string longer;  // optional longer description after the rate
};

std::string Item(const ItemFields& f) {
    std::string c = "\x1B.01" + f.code + f.quantity + f.decimals + f.price;
    c += std::string(12, '0');  // positions 33-44
    c += f.marker;
    c += f.unit + f.description + f.rate + f.longer + "}";
    return c;
}

std::string Text(char mode, std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += static_cast<char>('a' + i % 26);
    return std::string("\x1B.08") + mode + text + "}";
}

class Blocks : public LinkTest {
protected:
    // A session on a later model whose letter the link already knows.
    void OpenLater(char letter = 'G', unsigned timeout = 10, int dialogs = 0) {
        printer->EditState([&](sim::PrinterState& s) { s.modelLetter = letter; });
        printer->Block().SetFaults({});
        Open(timeout, dialogs);
        printer->Block().Clear();
        g_session.LinkModelLetter = letter;
    }
    // A later model that takes every block and answers none.
    void OpenLaterSilent(unsigned timeout, int dialogs) {
        OpenLater('G', timeout, dialogs);
        printer->Block().SetFaults({.silent = true});
    }
    std::vector<std::string> Frames() { return printer->Frames(); }
};

std::string Read() {
    char buffer[kBufferSize];
    EXPECT_EQ(ECFRead(buffer, sizeof buffer), 0);
    return buffer;
}

TEST_F(Blocks, DotMatrixModelTakesNothing) {
    // Known as "B", or learned as "B" from the status record on the first command.
    for (char known : {'B', '\0'}) {
        SCOPED_TRACE(static_cast<int>(known));
        Open();
        g_session.LinkModelLetter = known;
        const std::string item = Item({});
        const std::string text = Text('0', 60);
        EXPECT_EQ(ECFWrite(item.c_str()), 0);
        EXPECT_EQ(ECFWrite(text.c_str()), 0);
        EXPECT_EQ(ECFWrite("\x1B.290}"), 0);
        EXPECT_EQ(g_session.LinkModelLetter, 'B');
        std::vector<std::string> expected = {item, text, "\x1B.290}"};
        if (!known) expected.insert(expected.begin(), "\x1B.271}");
        EXPECT_EQ(Frames(), expected);
        EXPECT_EQ(Read(), sim::Status29Record(printer->State(), '0'));
        ECFClose();
    }
}

TEST_F(Blocks, LaterModelLetterIsLearnedOnceBeforeTheFirstBlock) {
    OpenLater('H');
    g_session.LinkModelLetter = 0;
    const std::string text = Text('1', 49);
    EXPECT_EQ(ECFWrite(text.c_str()), 0);
    EXPECT_EQ(ECFWrite(text.c_str()), 0);
    EXPECT_EQ(g_session.LinkModelLetter, 'H');
    EXPECT_EQ(Frames(), (std::vector<std::string>{"\x1B.271}", "\x1B.25}", "\x1B.25}"}));
    EXPECT_EQ(printer->Block().Texts().size(), 2u);
}

TEST_F(Blocks, TextCommandIsTakenFrom49Characters) {
    struct Case {
        char mode;
        std::size_t length;
        int result;
        const char* reply;
        char blockMode;  // 0: no block
    };
    const Case cases[] = {
        {'0', 48, 0, ".+0008}", 0},     {'0', 49, 0, ".+0025}", 'A'},   {'1', 200, 0, ".+0025}", '@'},
        {'2', 2032, 0, ".+0025}", 'a'}, {'2', 2033, -1, ".-P002}", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        OpenLater();
        const std::string command = Text(c.mode, c.length);
        EXPECT_EQ(ECFWrite(command.c_str()), c.result);
        EXPECT_EQ(Read(), c.reply);
        const auto texts = printer->Block().Texts();
        if (c.blockMode) {
            ASSERT_EQ(texts.size(), 1u);
            EXPECT_EQ(texts[0].mode, c.blockMode);
            EXPECT_EQ(texts[0].text, command.substr(5, c.length));
            EXPECT_EQ(Frames(), std::vector<std::string>{"\x1B.25}"});
        } else {
            EXPECT_TRUE(texts.empty());
            EXPECT_TRUE(printer->Block().Blocks().empty());
            EXPECT_EQ(Frames(), c.result == 0 ? std::vector<std::string>{command} : std::vector<std::string>{});
        }
        ECFClose();
    }
}

TEST_F(Blocks, TextCommandAboveModelHGoesTheOrdinaryRoad) {
    OpenLater('I');
    const std::string command = Text('0', 100);
    EXPECT_EQ(ECFWrite(command.c_str()), 0);
    EXPECT_EQ(Frames(), std::vector<std::string>{command});
    EXPECT_TRUE(printer->Block().Blocks().empty());
}

TEST_F(Blocks, ItemBlockCarriesQuantityPriceRateAndDescription) {
    struct Case {
        const char* name;
        ItemFields fields;
        sim::SoldItem sold;
    };
    auto with = [](auto edit) {
        ItemFields f;
        edit(f);
        return f;
    };
    const std::string code = "7891234567890", desc = "ARROZ TIPO 1 5KG     ";
    const Case cases[] = {
        {"two decimals, half a unit, T18", with([](ItemFields& f) { f.quantity = "0000"; f.decimals = "500"; }),
         {"0,500", code, "12,50", "UN", "T18,00%", desc}},
        {"three decimals, T7", with([](ItemFields& f) { f.marker = '$'; f.rate = "T02"; }),
         {"1,000", code, "1,250", "UN", "T7,00%", desc}},
        {"zero price, service rate", with([](ItemFields& f) { f.price = "000000000"; f.rate = "S04"; f.quantity = "0012"; }),
         {"12,000", code, "0,00", "UN", "S25,00%", desc}},
        {"unknown rate code", with([](ItemFields& f) { f.rate = "T09"; }), {"1,000", code, "12,50", "UN", "", desc}},
        {"letter alone", with([](ItemFields& f) { f.rate = "F  "; }), {"1,000", code, "12,50", "UN", "F1", desc}},
        {"three characters", with([](ItemFields& f) { f.rate = "IS1"; }), {"1,000", code, "12,50", "UN", "IS1", desc}},
        {"S second", with([](ItemFields& f) { f.rate = "NS "; }), {"1,000", code, "12,50", "UN", "NS1", desc}},
        {"two characters", with([](ItemFields& f) { f.rate = "I1 "; }), {"1,000", code, "12,50", "UN", "I1", desc}},
        {"longer description", with([](ItemFields& f) { f.longer = " INTEGRAL"; }),
         {"1,000", code, "12,50", "UN", "T18,00%", desc + " INTEGRAL"}},
        {"short tail is not description", with([](ItemFields& f) { f.longer = "XY"; }),
         {"1,000", code, "12,50", "UN", "T18,00%", desc}},
        {"description cut at 250", with([](ItemFields& f) { f.longer = std::string(300, 'L'); }),
         {"1,000", code, "12,50", "UN", "T18,00%", desc + std::string(250 - 21, 'L')}},
    };
    OpenLater();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        printer->Block().Clear();
        printer->ClearFrames();
        EXPECT_EQ(ECFWrite(Item(c.fields).c_str()), 0);
        EXPECT_EQ(Read(), ".+0025}");
        const auto items = printer->Block().Items();
        ASSERT_EQ(items.size(), 1u);
        const sim::SoldItem& got = items[0];
        EXPECT_EQ(got.quantity, c.sold.quantity);
        EXPECT_EQ(got.code, c.sold.code);
        EXPECT_EQ(got.price, c.sold.price);
        EXPECT_EQ(got.unit, c.sold.unit);
        EXPECT_EQ(got.rate, c.sold.rate);
        EXPECT_EQ(got.description, c.sold.description);
    }
}

TEST_F(Blocks, TaxRatesAreLoadedOnceAndAgainAfterCode33) {
    OpenLater();
    printer->EditState([](sim::PrinterState& s) {
        for (std::size_t i = 0; i < 6; ++i) s.taxEntries[i] = "T0" + std::to_string(i + 1) + "0" + std::to_string(i + 1) + "00";
    });
    const std::string item = Item({});
    EXPECT_EQ(ECFWrite(item.c_str()), 0);
    // 29-3 holds four entries, 29-4 two and then a blank one, which ends the loading.
    EXPECT_EQ(Frames(), (std::vector<std::string>{"\x1B.293}", "\x1B.294}", "\x1B.25}"}));
    EXPECT_STREQ(g_session.TaxRateTable.data(), "T010100");
    EXPECT_STREQ(g_session.TaxRateTable.data() + 50, "T060600");
    EXPECT_EQ(g_session.TaxRateTable[60], 0);

    printer->ClearFrames();
    EXPECT_EQ(ECFWrite(item.c_str()), 0);
    EXPECT_EQ(Frames(), std::vector<std::string>{"\x1B.25}"});

    printer->ClearFrames();
    EXPECT_EQ(ECFWrite("\x1B.33}"), 0);
    EXPECT_EQ(g_session.TaxRateTable[0], 0);
    EXPECT_EQ(ECFWrite(item.c_str()), 0);
    EXPECT_EQ(Frames(), (std::vector<std::string>{"\x1B.33}", "\x1B.293}", "\x1B.294}", "\x1B.25}"}));
}

TEST_F(Blocks, FailedTaxLoadingSendsNoBlock) {
    OpenLater('G', 1);
    sim::Faults f;
    f.silent = true;
    printer->SetFaults(f);
    EXPECT_EQ(ECFWrite(Item({}).c_str()), -1);
    EXPECT_EQ(Read(), ".-P002}");
    EXPECT_EQ(Frames(), std::vector<std::string>{"\x1B.293}"});
    EXPECT_TRUE(printer->Block().Blocks().empty());
}

TEST_F(Blocks, RefusedItemGoesTheOrdinaryRoadRefusedTextIsCancelled) {
    OpenLater();
    printer->Block().SetFaults({.refuse = 1});
    // The ordinary road reaches a printer that checks the item total: 1,000 x 12,50.
    std::string item = Item({});
    item.replace(33, 12, "000000001250");
    EXPECT_EQ(ECFWrite(item.c_str()), 0);
    EXPECT_EQ(Read(), ".+0002}");  // the number the coupon's next item will have
    EXPECT_EQ(Frames(), (std::vector<std::string>{"\x1B.293}", "\x1B.294}", item}));
    EXPECT_TRUE(printer->Block().Items().empty());
    EXPECT_EQ(printer->Block().Blocks().size(), 1u);

    printer->ClearFrames();
    printer->Block().SetFaults({.refuse = 1});
    EXPECT_EQ(ECFWrite(Text('0', 60).c_str()), -1);
    EXPECT_EQ(Read(), ".-P002}");
    EXPECT_EQ(Frames(), std::vector<std::string>{"\x1B.080  }"});
    EXPECT_TRUE(printer->Block().Texts().empty());
}

TEST_F(Blocks, AWorkingBlockBeforeTheVerdictIsWaitedOut) {
    OpenLater();
    printer->Block().SetFaults({.busyFirst = true});
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ECFWrite(Text('0', 49 + static_cast<std::size_t>(i)).c_str()), 0);
        EXPECT_EQ(Read(), ".+0025}");
    }
    EXPECT_EQ(printer->Block().Texts().size(), 2u);
    // The reading acknowledges the working block, which does not answer it, and
    // reads on; a spoiled answer behind it is still asked for again.
    printer->Block().SetFaults({.badChecksum = 1, .busyFirst = true});
    const uint32_t t0 = clock.TickMs();
    EXPECT_EQ(ECFWrite("\x1B.290}"), 0);
    EXPECT_EQ(Read().substr(0, 3), ".+T");
    EXPECT_EQ(printer->Block().Blocks().size(), 3u);
    EXPECT_EQ(printer->Block().Naks(), 1);
    EXPECT_LT(clock.TickMs() - t0, 1000u);
}

TEST_F(Blocks, UnansweredItemBlockFailsAfterSending) {
    OpenLater('G', 2);
    ASSERT_EQ(ECFWrite(Item({}).c_str()), 0);  // the tax rates are loaded
    printer->Block().SetFaults({.silent = true});
    const uint32_t t0 = clock.TickMs();
    EXPECT_EQ(ECFWrite(Item({}).c_str()), -1);
    EXPECT_EQ(Read(), ".-P006}");
    EXPECT_LE(clock.TickMs() - t0, 5000u);
}

TEST_F(Blocks, ReadingReplyLayout) {
    OpenLater();
    sim::ReadingFields fields;
    fields.figure = "0000000000098765";
    fields.stamp = "1012261533";
    fields.first = "0007";
    fields.last = "0011";
    printer->Block().SetReading(fields);
    EXPECT_EQ(ECFWrite("\x1B.290}"), 0);
    const std::string status = sim::Status27Record(printer->State(), '1');
    std::string expected = ".+T" + status.substr(3, 3) + "0" + fields.figure + fields.stamp + fields.first + fields.last + "}";
    expected.resize(128, ' ');
    EXPECT_EQ(Read(), expected);
    EXPECT_EQ(printer->Block().Blocks(), std::vector<std::string>{"*34|I32"});
    EXPECT_EQ(Frames(), std::vector<std::string>{"\x1B.271}"});
}

TEST_F(Blocks, ReadingTooShortForItsFieldsIsNoAnswer) {
    OpenLater();
    printer->Block().SetReading({"", "", "", ""});
    EXPECT_EQ(ECFWrite("\x1B.290}"), -1);
    EXPECT_EQ(Read(), ".-P006}");
}

TEST_F(Blocks, BadChecksumIsAnsweredWithNakAndReadAgain) {
    OpenLater();
    printer->Block().SetFaults({.badChecksum = 2});
    const uint32_t t0 = clock.TickMs();
    EXPECT_EQ(ECFWrite("\x1B.290}"), 0);
    EXPECT_EQ(Read().substr(0, 3), ".+T");
    EXPECT_EQ(printer->Block().Naks(), 2);
    EXPECT_EQ(printer->Block().Blocks().size(), 1u);  // read again, not sent again
    EXPECT_LT(clock.TickMs() - t0, 1000u);
}

TEST_F(Blocks, SilentReadingWithoutDialogsFailsWithinAMinute) {
    OpenLaterSilent(10, 0);
    const uint32_t t0 = clock.TickMs();
    EXPECT_EQ(ECFWrite("\x1B.290}"), -1);
    EXPECT_EQ(Read(), ".-P002}");
    const uint32_t spent = clock.TickMs() - t0;
    EXPECT_GE(spent, link::kUnattendedRetryMs);
    EXPECT_LE(spent, link::kUnattendedRetryMs + 15000);
    EXPECT_TRUE(op.texts("question").empty());
    EXPECT_GE(printer->Block().Blocks().size(), 2u);  // sent again while the minute lasted
}

TEST_F(Blocks, SilentReadingAsksTheOperator) {
    const std::string question = CP1252("ERRO na impressora ! ECF ligado ? CONEXÕES OK ?  TAMPA ?\r\nContinua tentando ? ");
    struct Case {
        const char* name;
        std::deque<int> answers;
        std::size_t asked;
    };
    // Answers that come at once are nobody's: they only go on for the unattended minute.
    const Case cases[] = {{"yes, then no", {1, 0}, 2},
                          {"a box that cannot be shown", std::deque<int>(50, -1), 4},
                          {"an instant yes", std::deque<int>(50, 1), 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenLaterSilent(10, 1);
        op.questionAnswers = c.answers;
        EXPECT_EQ(ECFWrite("\x1B.290}"), -1);
        EXPECT_EQ(Read(), ".-P002}");
        EXPECT_EQ(op.texts("question"), std::vector<std::string>(c.asked, question));
        EXPECT_EQ(printer->Block().Blocks().size(), c.asked);
        ECFClose();
    }
}

// An operator who takes a while over each question, answering from a script
// given how many questions came so far; stands in for the test's operator while it lives.
class Person final : public platform::Operator {
public:
    Person(FakeClock& clock, std::function<int(int asked)> answer)
        : clock_(clock), answer_(std::move(answer)), previous_(platform::GetOperator()) {
        platform::SetOperator(this);
    }
    ~Person() override { platform::SetOperator(&previous_); }
    void InfoBox(const char*) override {}
    int QuestionBox(const char*) override {
        clock_.Advance(2000);
        return answer_(++asked);
    }
    int MessageBox(const char*, const char*, unsigned) override { return 1; }
    int Identify(const char*, MoldrinIdentification&) override { return 0; }
    int asked = 0;

private:
    FakeClock& clock_;
    std::function<int(int)> answer_;
    platform::Operator& previous_;
};

TEST_F(Blocks, APersonSayingYesKeepsTheReadingGoingPastTheMinute) {
    OpenLaterSilent(10, 1);
    Person person(clock, [](int asked) { return asked < 7 ? 1 : 0; });
    const uint32_t t0 = clock.TickMs();
    EXPECT_EQ(ECFWrite("\x1B.290}"), -1);
    EXPECT_EQ(person.asked, 7);
    EXPECT_EQ(printer->Block().Blocks().size(), 7u);
    EXPECT_GT(clock.TickMs() - t0, link::kUnattendedRetryMs + 30000);
}

TEST_F(Blocks, OperatorYesSendsTheReadingAgainAndItIsAnswered) {
    OpenLaterSilent(10, 1);
    // The printer comes back while the operator looks at the question.
    Person person(clock, [&](int) {
        printer->Block().SetFaults({});
        return 1;
    });
    EXPECT_EQ(ECFWrite("\x1B.290}"), 0);
    EXPECT_EQ(person.asked, 1);
    EXPECT_EQ(Read().substr(0, 3), ".+T");
    EXPECT_EQ(printer->Block().Blocks().size(), 2u);
}

// ReadCheckedBlock on bytes the printer is made to send.
TEST_F(Blocks, CheckedReaderDecodesRunsAndEscapes) {
    auto frame = [](std::string content) {
        std::string f = "\x02" + content + "\x03";
        f += static_cast<char>(link::BlockChecksum(f.data(), f.size()));
        return f;
    };
    struct Case {
        const char* name;
        std::string bytes;
        int result;
        std::string decoded;
    };
    const Case cases[] = {
        {"plain", frame("*34|ABC"), 8, "\x02*34|ABC"},
        {"run", frame(std::string("X0\x1B") + static_cast<char>(31 + 5) + "Y"), 9, "\x02X000000Y"},
        {"escaped", frame(std::string("A\x10") + static_cast<char>(0x8D) + "\x10" + static_cast<char>(0x82)), 4,
         "\x02" "A\r\x02"},
        {"run of an escaped byte", frame(std::string("\x10") + static_cast<char>(0x8A) + "\x1B" + static_cast<char>(33)),
         4, "\x02\n\n\n"},
        {"junk before, restart inside", "\x06zz\x02half" + frame("*34|ok"), 7, "\x02*34|ok"},
        {"bad checksum", frame("*34|ok").substr(0, 8) + "\x7F", -3, ""},
        {"no checksum", "\x02*34|ok\x03", -2, ""},
        {"no end", "\x02*34|ok", -2, ""},
        {"junk only", "abc", 0, ""},
        {"nothing", "", 0, ""},
    };
    OpenLater();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        printer->SetResponder([&](std::string_view) { return std::optional<std::string>(c.bytes); });
        ASSERT_EQ(ECFTxFast("\x1B.99}", 0), 4);
        std::array<char, 64> out{};
        const uint32_t t0 = clock.TickMs();
        EXPECT_EQ(link::ReadCheckedBlock(500, link::kStx, link::kEtx, out), c.result);
        if (c.result > 0) {
            EXPECT_EQ(std::string(out.data(), static_cast<std::size_t>(c.result)), c.decoded);
        }
        EXPECT_LE(clock.TickMs() - t0, 600u);
        serial::PortFlushRx();
    }
}

TEST_F(Blocks, CheckedReaderRefusesARunLongerThanTheOutput) {
    OpenLater();
    std::string f = std::string("\x02*\x1B") + static_cast<char>(255) + "\x03";
    f += static_cast<char>(link::BlockChecksum(f.data(), f.size()));
    printer->SetResponder([&](std::string_view) { return std::optional<std::string>(f); });
    ASSERT_EQ(ECFTxFast("\x1B.99}", 0), 4);
    std::array<char, 64> out{};
    EXPECT_EQ(link::ReadCheckedBlock(500, link::kStx, link::kEtx, out), -2);
}

TEST_F(Blocks, FastWriterCountsInBothModes) {
    struct Case {
        std::string bytes;
        uint32_t count;
        int result;
        std::vector<std::string> frames;
    };
    const Case cases[] = {
        {"\x1B.30}after", 0, 4, {"\x1B.30}"}},            // text: bytes before the "}"
        {"\x1B.3", 0, 3, {}},                              // text without "}": up to its end
        {"\x1B.2}\x1B.30}", 5, 5, {"\x1B.2}"}},            // binary: exactly the count
        {std::string("\x1B.2}\x1B.30}"), 10, 10, {"\x1B.2}", "\x1B.30}"}},
    };
    OpenLater();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        printer->ClearFrames();
        EXPECT_EQ(ECFTxFast(c.bytes.c_str(), c.count), c.result);
        EXPECT_EQ(Frames(), c.frames);
    }
    // Without DSR, binary mode waits the time-out and text mode gives up at once.
    sim::Faults f;
    f.dsrLow = true;
    printer->SetFaults(f);
    uint32_t t0 = clock.TickMs();
    EXPECT_EQ(ECFTxFast("\x1B.30}", 5), 0);
    EXPECT_GE(clock.TickMs() - t0, 10000u);
    t0 = clock.TickMs();
    EXPECT_EQ(ECFTxFast("\x1B.30}", 0), 0);
    EXPECT_LT(clock.TickMs() - t0, 100u);
}

std::mutex g_traceMutex;
std::vector<std::string> g_trace;
void Collect(const char* line) {
    std::lock_guard lock(g_traceMutex);
    g_trace.emplace_back(line);
}

TEST_F(Blocks, TraceShowsTheBlockTrafficReadably) {
    OpenLater();
    ASSERT_EQ(ECFWrite(Item({}).c_str()), 0);  // tax rates loaded
    g_trace.clear();
    link::SetBlockTrace(Collect);
    EXPECT_EQ(ECFWrite(Text('1', 49).c_str()), 0);
    EXPECT_EQ(ECFWrite("\x1B.290}"), 0);
    link::SetBlockTrace(nullptr);
    EXPECT_EQ(ECFWrite(Text('1', 49).c_str()), 0);
    ASSERT_EQ(g_trace.size(), 6u);
    EXPECT_EQ(g_trace[0].rfind("block> <STX>*25|<SYN>@abcdefghijklmnopqrstuvwxyz", 0), 0u) << g_trace[0];
    EXPECT_NE(g_trace[0].find("<CR><LF><ETX>"), std::string::npos);
    EXPECT_EQ(g_trace[0].substr(g_trace[0].size() - 7), "<ESC>.}");
    EXPECT_EQ(g_trace[1], "block< <STX>+<ETX>");
    EXPECT_EQ(g_trace[2], "block> <ACK>");
    EXPECT_EQ(g_trace[3].rfind("block> <STX>*34|I32<ETX>", 0), 0u) << g_trace[3];
    EXPECT_EQ(g_trace[4], "block< <STX>*34|0000000001234567|0000|0912261020|00010042<CR><LF>");
    EXPECT_EQ(g_trace[5], "block> <ACK>");
}

}  // namespace
}  // namespace moldrin::testing
