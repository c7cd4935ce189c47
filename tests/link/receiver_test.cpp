// The record and block receivers against the simulator's faults: what each
// returns, what it logs, and that no wait outlasts its deadline.
#include "link/receiver.h"

#include <cerrno>

#include "link/transmitter.h"
#include "link_fixture.h"
#include "serial/port_table.h"

namespace moldrin::testing {
namespace {

const char kNotDot[] =
    "<<<< Veio resposta do ECF mas o caracter inicial nao e' o PONTO !!!!(registro abaixo ignorado)>>>>";
const char kIncomplete[] = "<<<< formato incompleto - (registro abaixo ignorado)>>>>";
const char kDsrNoAnswer[] = "<<<< Tem DSR, mas nao Veio a Resposta do ECF !!!! >>>>";
const char kNoDsrNoAnswer[] = "<<<< Nem Resposta e nem DSR do ECF !!!! >>>>";
const char kTooLong[] = "<<<< Registro recebido do ECF excede tamanho maximo de 128 bytes !!!! >>>>";

// A port whose byte reads take a millisecond each: time enough for the next
// byte of a fast answer to come in, and overrun, while the receiver takes one.
class SlowReadDevice final : public sim::SimDevice {
public:
    SlowReadDevice(std::shared_ptr<sim::PrinterModel> model, FakeClock& clock)
        : SimDevice(std::move(model)), clock_(clock) {}
    bool Read(uint8_t* buffer, uint32_t n, uint32_t* got) override {
        const bool ok = SimDevice::Read(buffer, n, got);
        clock_.Advance(1);
        return ok;
    }

private:
    FakeClock& clock_;
};

class Receiver : public LinkTest {
protected:
    // COM1 opens the simulator with reads that take time, or without.
    void SlowReads(bool slow) {
        platform::SetSerialOpener([this, slow](int com, int* systemError) -> std::unique_ptr<platform::SerialDevice> {
            if (com != 1) {
                if (systemError) *systemError = ENOENT;
                return nullptr;
            }
            if (slow) return std::make_unique<SlowReadDevice>(printer, clock);
            return std::make_unique<sim::SimDevice>(printer);
        });
    }

    // Sends a frame that the printer answers with `answer`, then receives.
    int Receive(const std::string& answer, const sim::Faults& faults = {}) {
        printer->SetResponder([answer](std::string_view) { return answer; });
        printer->SetFaults(faults);
        EXPECT_GT(link::TransmitFrame("\x1B.30}"), 0);
        MarkLog();
        op.clear();
        start = clock.TickMs();
        return link::ReceiveRecord(buffer);
    }
    uint32_t Elapsed() { return clock.TickMs() - start; }
    char buffer[link::kRecordMax + 1];
    uint32_t start = 0;
};

TEST_F(Receiver, TakesACompleteRecordAndLowersRts) {
    Open();
    EXPECT_EQ(Receive(".+0030}"), 7);
    EXPECT_STREQ(buffer, ".+0030}");
    EXPECT_FALSE(printer->HostRts());
    EXPECT_TRUE(printer->HostDtr());
    EXPECT_TRUE(Log().empty());
}

TEST_F(Receiver, StrayBytesBeforeTheRecordAreLoggedAndSkipped) {
    Open();
    sim::Faults f;
    f.strayBefore = "xyz";
    EXPECT_EQ(Receive(".+0030}", f), 7);
    EXPECT_STREQ(buffer, ".+0030}");
    EXPECT_EQ(Log(), (std::vector<std::string>{kNotDot, "xyz"}));
}

TEST_F(Receiver, RecordOfExactly128BytesIsComplete) {
    Open();
    EXPECT_EQ(Receive(FullRecord("+C")), 128);
    EXPECT_EQ(std::string(buffer), FullRecord("+C"));
}

TEST_F(Receiver, RecordWithoutBraceAt128IsRefusedWithBoxPerShowDialogs) {
    for (int dialogs : {0, 1}) {
        SCOPED_TRACE(dialogs);
        Open(10, dialogs);
        sim::Faults f;
        f.overlongRecord = true;
        EXPECT_EQ(Receive(".+0030}", f), 0);
        const std::string partial = "." + std::string(127, 'X');
        EXPECT_EQ(Log(), (std::vector<std::string>{kTooLong, kIncomplete, partial}));
        EXPECT_EQ(op.texts("info"),
                  dialogs ? std::vector<std::string>{"ERRO - FORMATO DE RESPOSTA INCORRETO !!!!"}
                          : std::vector<std::string>{});
        EXPECT_EQ(g_session.DialogsEnabled, 1);
        printer->SetFaults({});
        printer->SetResponder(nullptr);
        ECFClose();
    }
}

TEST_F(Receiver, SilenceWithDsrEndsAtTheDeadline) {
    Open(5);
    sim::Faults f;
    f.silent = true;
    EXPECT_EQ(Receive("", f), 0);
    EXPECT_NEAR(static_cast<double>(Elapsed()), 5000.0, 20.0);
    EXPECT_EQ(Log(), std::vector<std::string>{kDsrNoAnswer});
}

TEST_F(Receiver, SilenceWithDsrLowSaysSo) {
    Open(5);
    sim::Faults f;
    f.silent = true;
    printer->SetFaults(f);
    ASSERT_GT(link::TransmitFrame("\x1B.30}"), 0);
    f.dsrLow = true;
    printer->SetFaults(f);
    MarkLog();
    const uint32_t t0 = clock.TickMs();
    EXPECT_EQ(link::ReceiveRecord(buffer), 0);
    EXPECT_NEAR(static_cast<double>(clock.TickMs() - t0), 5000.0, 20.0);
    EXPECT_EQ(Log(), std::vector<std::string>{kNoDsrNoAnswer});
}

TEST_F(Receiver, RecordCutOffBySilenceIsLoggedAsIncomplete) {
    Open(5);
    sim::Faults f;
    f.pauseAfterBytes = 4;
    f.pauseMs = 60000;
    EXPECT_EQ(Receive(".+0030}", f), 0);
    EXPECT_EQ(Log(), (std::vector<std::string>{kDsrNoAnswer, kIncomplete, ".+00"}));
    EXPECT_NEAR(static_cast<double>(Elapsed()), 5000.0, 20.0);
}

TEST_F(Receiver, SlowAnswerWithinTheTimeOutIsTaken) {
    Open(5);
    sim::Faults f;
    f.answerDelayMs = 4900;
    EXPECT_EQ(Receive(".+0030}", f), 7);
    EXPECT_NEAR(static_cast<double>(Elapsed()), 4900.0, 20.0);
}

TEST_F(Receiver, RecordSplitAcrossLongPausesEndsAtTheOverallDeadline) {
    // Each wait for a byte has its own deadline; the overall one is tested
    // between bytes, so the call ends after about twice the time-out at most.
    Open(5);
    sim::Faults f;
    f.answerDelayMs = 4000;
    f.pauseAfterBytes = 3;
    f.pauseMs = 4000;
    EXPECT_EQ(Receive(".+0030}", f), 0);
    EXPECT_EQ(Log(), (std::vector<std::string>{kIncomplete, ".+00"}));
    EXPECT_LE(Elapsed(), 10000u);
}

TEST_F(Receiver, EndlessTrickleEndsAtTheOverallDeadline) {
    struct Case {
        const char* name;
        std::string stream;
        uint32_t gapMs;
    };
    // A record that never ends, and junk that never becomes a record (at most
    // 511 of its bytes are kept for the log).
    const Case cases[] = {{"record", "." + std::string(5000, 'r'), 30}, {"junk", std::string(5000, 'j'), 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Open(3);
        sim::Faults f;
        f.byteGapMs = c.gapMs;
        EXPECT_EQ(Receive(c.stream, f), 0);
        EXPECT_NEAR(static_cast<double>(Elapsed()), 3000.0, 20.0);
        std::vector<std::string> log = Log();
        ASSERT_EQ(log.size(), 2u);  // the "formato incompleto" or "nao e' o PONTO" line, and the bytes
        EXPECT_LE(log[1].size(), 511u);
        ECFClose();
    }
}

TEST_F(Receiver, LineTroubleGivesNothing) {
    struct Case {
        const char* name;
        sim::Faults faults;
        bool slowReads;
        std::vector<std::string> log;
    };
    // A real port clears its error bits at every look, the queue count's too: an
    // overrun shows only if it happens while the receiver takes the byte before.
    sim::Faults overrun, lost;
    overrun.overrun = true;
    overrun.byteGapMs = 1;
    lost.loseByte = true;
    for (const Case& c : {Case{"overrun", overrun, true, {"ocorreu overrun/error frame"}},
                          Case{"lost", lost, false, {"ERRO - caracter sumiu !!! ??? (SioGetc)"}}}) {
        SCOPED_TRACE(c.name);
        SlowReads(c.slowReads);
        Open();
        EXPECT_EQ(Receive(".+0030}", c.faults), 0);
        EXPECT_EQ(Log(), c.log);
        printer->SetFaults({});
        printer->SetResponder(nullptr);
        ECFClose();
    }
}

TEST_F(Receiver, NulInsideARecordDropsItAsIncomplete) {
    Open();
    EXPECT_EQ(Receive(std::string(".+00\0" "30}", 8)), 0);
    EXPECT_EQ(Log(), (std::vector<std::string>{kIncomplete, ".+00"}));
}

TEST_F(Receiver, GivesWayAtOnceToTheCaptureFlags) {
    Open();
    sim::Faults f;
    f.silent = true;
    printer->SetFaults(f);
    ASSERT_GT(link::TransmitFrame("\x1B.30}"), 0);
    MarkLog();
    g_session.ApplicationWaiting = 1;
    const uint32_t t0 = clock.TickMs();
    EXPECT_EQ(link::ReceiveRecord(buffer), -1);
    EXPECT_EQ(clock.TickMs(), t0);
    EXPECT_TRUE(Log().empty());
}

TEST_F(Receiver, PortFaultIsReportedAndShown) {
    Open();
    ASSERT_GT(link::TransmitFrame("\x1B.30}"), 0);
    serial::PortClose(0);
    MarkLog();
    EXPECT_EQ(link::ReceiveRecord(buffer), -1);
    EXPECT_EQ(Log(), std::vector<std::string>{CP1252("ERRO - PORTA NÃO ABERTA (SioDTR)")});
}

class BlockReceiver : public Receiver {
protected:
    int ReceiveBlock(const std::string& answer, int max = 128) {
        printer->SetResponder([answer](std::string_view) { return answer; });
        EXPECT_GT(link::TransmitFrame("\x1B.30}"), 0);
        MarkLog();
        return link::ReceiveBlock(block, max);
    }
    char block[200];
};

TEST_F(BlockReceiver, SkipsAckAndKeepsTheBlockFromStxToEtx) {
    Open();
    EXPECT_EQ(ReceiveBlock("\x06\x02" "ab\x03"), 4);
    EXPECT_STREQ(block, "\x02" "ab\x03");
    EXPECT_TRUE(Log().empty());
}

TEST_F(BlockReceiver, NakFirstGivesNothingSilently) {
    Open();
    EXPECT_EQ(ReceiveBlock("\x15\x02" "ab\x03"), 0);
    EXPECT_TRUE(Log().empty());
}

TEST_F(BlockReceiver, JunkIsLoggedOnceAndAMaximumStopsTheBlock) {
    Open();
    EXPECT_EQ(ReceiveBlock("zz\x02" "abcdef\x03", 4), 4);
    EXPECT_STREQ(block, "\x02" "abc");
    EXPECT_EQ(Log(), std::vector<std::string>{
                         "<<<< Veio caracter do ECF mas o caracter inicial nao e' o PONTO !!!! (registro ignorado)>>>>"});
}

TEST_F(BlockReceiver, EndlessJunkEndsAtTheTimeOut) {
    Open(2);
    std::string junk(5000, 'j');
    printer->SetResponder([junk](std::string_view) { return junk; });
    sim::Faults f;
    f.byteGapMs = 1;
    printer->SetFaults(f);
    ASSERT_GT(link::TransmitFrame("\x1B.30}"), 0);
    const uint32_t t0 = clock.TickMs();
    // Junk keeps coming one byte per millisecond, longer than the time-out.
    EXPECT_EQ(link::ReceiveBlock(block, 128), 0);
    EXPECT_LE(clock.TickMs() - t0, 2100u);
}

}  // namespace
}  // namespace moldrin::testing
