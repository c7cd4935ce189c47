#include "serial/checked.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "session/session_state.h"
#include "log/text.h"
#include "serial/port_table.h"
#include "support/fake_clock.h"
#include "support/fake_device.h"
#include "support/library_state.h"
#include "support/log_reader.h"
#include "support/recording_operator.h"

namespace moldrin::serial {
namespace {

using ::testing::ElementsAre;

class Checked : public ::testing::Test {
protected:
    void SetUp() override {
        testing::ResetLibraryState();
        com1 = ports.Add(1);
    }
    void TearDown() override { testing::ResetLibraryState(); }
    std::vector<std::string> Log() { return testing::AllLogLines(root); }

    testing::ScratchRoot root;
    testing::FakeClock clock;
    testing::RecordingOperator op;
    testing::FakePorts ports;
    std::shared_ptr<testing::FakeDeviceState> com1;
};

TEST_F(Checked, EachOperationNamesItselfWhenThePortIsMissingOrClosed) {
    struct Case {
        int (*op)();
        const char* name;
    };
    const Case cases[] = {{SioDTR, "SioDTR"},           {SioTxCLEAR, "SioTxCLEAR"},
                          {SioRTSSet, "SioRTS - set "}, {SioRTSClear, "SioRTS - clear"},
                          {SioDSR, "SioDSR"},           {SioTxQue, "SioTxQue"},
                          {SioRxClear, "SioRxClear"},   {SioRxQue, "SioRxQue"}};
    for (const Case& c : cases) {
        g_session.PortIndex = -1;
        EXPECT_EQ(c.op(), -1) << c.name;
        g_session.PortIndex = 0;  // a session whose port is not open
        EXPECT_EQ(c.op(), -1) << c.name;
    }
    // Without a port the lines go to the "F" file of the weekday, with port 0 to the "1" file.
    std::vector<std::string> missing, closed;
    for (const Case& c : cases) {
        missing.push_back(std::string(CP1252("ERRO - PORTA NÃO EXISTE (")) + c.name + ")");
        closed.push_back(std::string(CP1252("ERRO - PORTA NÃO ABERTA (")) + c.name + ")");
    }
    EXPECT_EQ(testing::LogLines(root, "c:\\TEMP\\ECF-quarta.CMF"), missing);
    EXPECT_EQ(testing::LogLines(root, "c:\\TEMP\\ECF-quarta.CM1"), closed);
}

TEST_F(Checked, CtsIsPresentWithoutLookingWhileTheTestIsOff) {
    g_session.PortIndex = -1;
    EXPECT_EQ(SioCTS(), 1);
    EXPECT_TRUE(Log().empty());
    g_session.CtsTestEnabled = 1;
    EXPECT_EQ(SioCTS(), -1);
    EXPECT_THAT(Log(), ElementsAre(CP1252("ERRO - PORTA NÃO EXISTE (SioCTS)")));
    g_session.PortIndex = 0;
    ASSERT_EQ(PortOpen(0, 1600, 1600), 0);
    com1->modem = platform::kModemDsr;
    EXPECT_EQ(SioCTS(), 0);
    com1->modem = platform::kModemCts;
    EXPECT_EQ(SioCTS(), 16);
    EXPECT_EQ(SioDSR(), 0);
}

TEST_F(Checked, PortSetBaudConvertsRatesAndHonoursTheLastPortStatus) {
    g_session.PortIndex = 0;
    ASSERT_EQ(PortOpen(0, 1600, 1600), 0);
    struct Case {
        uint32_t bps, rate;
    };
    for (Case c : {Case{300, 9600}, Case{110, 9600}, Case{57600, 57600}, Case{1200, 1200}, Case{115200, 115200},
                   Case{12345, 9600}}) {
        EXPECT_GT(PortSetBaud(0, c.bps), 0);
        EXPECT_EQ(com1->state.baudRate, c.rate) << c.bps;
    }
    EXPECT_EQ(PortSetBaud(-1, 38400), 0);
    EXPECT_EQ(DefaultSpeed(), 38400u);
    EXPECT_EQ(PortSetBaud(16, 9600), -1);
    EXPECT_EQ(PortSetBaud(3, 9600), kPortNotOpen);
    g_session.LastPortStatus = -103;
    EXPECT_EQ(PortSetBaud(0, 9600), -1);
    EXPECT_TRUE(Log().empty());
}

TEST_F(Checked, ParmsAndFlushRx) {
    EXPECT_EQ(Parms(-1), 0);
    EXPECT_EQ(Parms(16), -1);
    EXPECT_EQ(Parms(2), -1);
    g_session.PortIndex = 2;
    EXPECT_EQ(PortFlushRx(), -1);
    EXPECT_THAT(Log(), ElementsAre("ERRO DE PORTA (Parms)", "ERRO - CONFLITO DE PORTA NO SISTEMA - status =(-3) (Parms)"));
    g_session.PortIndex = 0;
    ASSERT_EQ(PortOpen(0, 1600, 1600), 0);
    com1->rx = {'a', 'b'};
    EXPECT_EQ(PortFlushRx(), 0);
    EXPECT_TRUE(com1->rx.empty());
}

}  // namespace
}  // namespace moldrin::serial
