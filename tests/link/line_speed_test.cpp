// The line-speed detection: the order of speeds it tries, what counts as an
// answer, and what it leaves when no speed answers.
#include "link/status_queries.h"

#include "link_fixture.h"
#include "serial/port_table.h"

namespace moldrin::testing {
namespace {

using LineSpeed = LinkTest;

std::vector<std::string> Tries(const std::vector<uint32_t>& speeds) {
    std::vector<std::string> out;
    for (uint32_t s : speeds) out.push_back("Tentando descobrir a velocidade serial: " + std::to_string(s));
    return out;
}

std::vector<std::string> TryLines(const std::vector<std::string>& log) {
    std::vector<std::string> out;
    for (auto& l : log)
        if (l.rfind("Tentando", 0) == 0) out.push_back(l);
    return out;
}

TEST_F(LineSpeed, PrinterAt38400IsFoundAtTheFourthSpeed) {
    printer->SetSpeed(38400);
    ASSERT_EQ(ECFOpen(1, 10, 500, 0), 0);
    EXPECT_EQ(g_session.LineSpeed, 38400u);
    EXPECT_EQ(serial::PortLineSettings(0)->baudRate, 38400u);
    std::vector<std::string> log = AllLog();
    EXPECT_EQ(TryLines(log), Tries({9600, 9600, 115200, 115200, 57600, 57600, 38400}));
    EXPECT_EQ(log.back(), "velocidade detectada = 38400");
    EXPECT_EQ(log[log.size() - 2], sim::Status28Record(printer->State()));
}

TEST_F(LineSpeed, OrderOfSpeedsWhenNoneAnswers) {
    const std::vector<uint32_t> list = {9600, 115200, 57600, 38400, 19200};
    auto twice = [](const std::vector<uint32_t>& v) {
        std::vector<uint32_t> out;
        for (uint32_t s : v) out.insert(out.end(), {s, s});
        return out;
    };
    struct Case {
        uint32_t known;
        std::vector<uint32_t> order;
    };
    std::vector<uint32_t> fromZero = list;
    fromZero.insert(fromZero.end(), list.begin(), list.end());
    std::vector<uint32_t> fromKnown = {57600};
    fromKnown.insert(fromKnown.end(), fromZero.begin(), fromZero.end());
    std::vector<uint32_t> from19200 = {19200};
    from19200.insert(from19200.end(), list.begin(), list.end());
    const Case cases[] = {{0, fromZero}, {57600, fromKnown}, {19200, from19200}};

    Open(1);
    sim::Faults f;
    f.silent = true;
    printer->SetFaults(f);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.known);
        g_session.LineSpeed = c.known;
        MarkLog();
        printer->ClearFrames();
        EXPECT_EQ(link::DetectLineSpeed(), 0);
        EXPECT_EQ(g_session.LineSpeed, c.known);
        EXPECT_EQ(TryLines(Log()), Tries(twice(c.order)));
        EXPECT_EQ(printer->Frames(), std::vector<std::string>(2 * c.order.size(), "\x1B.28}"));
        EXPECT_EQ(g_session.ReadTimeoutSeconds, 1u);  // the 2 s of the detection are put back
    }
}

TEST_F(LineSpeed, ALateAnswerReadAtAnotherSpeedIsGarbage) {
    // The answer to the first frame at 9600 comes only once the host listens at
    // 115200: a real line delivers it garbled, so 115200 must not be taken.
    Open(1);
    sim::Faults f;
    f.answerDelayMs = 4500;
    f.frames = 1;
    printer->SetFaults(f);
    g_session.LineSpeed = 0;
    EXPECT_EQ(link::DetectLineSpeed(), 1);
    EXPECT_EQ(g_session.LineSpeed, 9600u);
    std::vector<std::string> tries = TryLines(Log());
    EXPECT_GT(tries.size(), 10u);  // found again on the second pass through the list
}

TEST_F(LineSpeed, AnAnswerShortOfAFullRecordIsNoSuccess) {
    Open(1);
    printer->SetResponder([](std::string_view) { return "." + std::string(125, 'x') + "}"; });
    g_session.LineSpeed = 0;
    EXPECT_EQ(link::DetectLineSpeed(), 0);
    EXPECT_EQ(g_session.LineSpeed, 0u);
    EXPECT_EQ(printer->Frames().size(), 20u);
}

TEST_F(LineSpeed, AFailedSendStopsTheDetection) {
    Open(1);
    sim::Faults f;
    f.dsrLow = true;
    printer->SetFaults(f);
    g_session.LineSpeed = 0;
    EXPECT_EQ(link::DetectLineSpeed(), 0);
    EXPECT_EQ(TryLines(Log()), Tries({9600}));
}

TEST_F(LineSpeed, EachTryListensTwoSeconds) {
    Open(10);
    sim::Faults f;
    f.silent = true;
    printer->SetFaults(f);
    g_session.LineSpeed = 19200;
    const uint32_t t0 = clock.TickMs();
    EXPECT_EQ(link::DetectLineSpeed(), 0);
    EXPECT_NEAR(static_cast<double>(clock.TickMs() - t0), 12 * 2000.0, 12 * 20.0);
}

}  // namespace
}  // namespace moldrin::testing
