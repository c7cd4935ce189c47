#include "serial/port_table.h"

#include <gtest/gtest.h>

#include "support/fake_device.h"
#include "support/library_state.h"

namespace moldrin::serial {
namespace {

using platform::Escape;

class PortTable : public ::testing::Test {
protected:
    void SetUp() override {
        testing::ResetLibraryState();
        com1 = ports.Add(1);
    }
    void TearDown() override { testing::ResetLibraryState(); }
    testing::FakePorts ports;
    std::shared_ptr<testing::FakeDeviceState> com1;
};

TEST_F(PortTable, IndexOutsideTableIsNoSuchPortAndUnopenedPortIsNotOpen) {
    using Op = int (*)(int);
    const Op ops[] = {PortClose, SioGetc, PortTxPurge, PortRxDrain, PortTxCount, PortRxCount, PortCts, PortDsr,
                      [](int i) { return PortSetSpeed(i, 5); },
                      [](int i) { return PortSetParms(i, 0, 0, 8); },
                      [](int i) { return PortSetFlow(i, 'N'); },
                      [](int i) { return SioPutc(i, 'x'); },
                      [](int i) { return PortDtr(i, 'S'); },
                      [](int i) { return PortRts(i, 'R'); },
                      [](int i) { return SioStatus(i, 10); }};
    for (Op op : ops) {
        EXPECT_EQ(op(16), kNoSuchPort);
        EXPECT_EQ(op(-2), kNoSuchPort);
        EXPECT_EQ(op(3), kPortNotOpen);
    }
    EXPECT_EQ(PortCheck(15), 0);
    EXPECT_EQ(PortCheck(16), kNoSuchPort);
    EXPECT_EQ(PortOpen(16, 1600, 1600), kNoSuchPort);
}

TEST_F(PortTable, DefaultsChangeOnlyWithIndexMinusOne) {
    EXPECT_EQ(PortSetSpeed(-1, 5), 0);
    EXPECT_EQ(DefaultSpeed(), 9600u);
    EXPECT_EQ(PortSetSpeed(-1, 4800), 0);
    EXPECT_EQ(DefaultSpeed(), 4800u);
    EXPECT_EQ(PortSetParms(-1, 2, 1, 7), 0);
    EXPECT_EQ(com1->setStateCalls, 0);
    ASSERT_EQ(PortOpen(0, 1600, 1600), 0);
    EXPECT_EQ(com1->state.baudRate, 4800u);
    EXPECT_EQ(com1->state.parity, 2);
    EXPECT_EQ(com1->state.stopBits, 1);
    EXPECT_EQ(com1->state.byteSize, 7);
}

TEST_F(PortTable, OpenProgramsTheLineAndCloseRestoresTimeouts) {
    com1->state.parityCheck = true;
    com1->state.outxCtsFlow = true;
    com1->state.rtsControl = platform::kRtsControlHandshake;
    ASSERT_EQ(PortOpen(0, 1600, 1600), 0);
    EXPECT_TRUE(PortIsOpen(0));
    const auto& s = com1->state;
    EXPECT_TRUE(s.binary);
    EXPECT_TRUE(s.parityCheck) << "parity check stays as the system reported it";
    EXPECT_FALSE(s.outxCtsFlow);
    EXPECT_EQ(s.rtsControl, platform::kRtsControlDisable);
    EXPECT_EQ(s.dtrControl, platform::kDtrControlDisable);
    EXPECT_TRUE(s.txContinueOnXoff);
    EXPECT_EQ(s.xonLim, 128);
    EXPECT_EQ(s.xoffLim, 128);
    EXPECT_EQ(com1->timeouts.readInterval, 0xFFFFFFFFu) << "reads return at once";
    EXPECT_EQ(com1->timeouts.readTotalConstant, 0u);
    ASSERT_FALSE(com1->escapes.empty());
    EXPECT_EQ(com1->escapes.back(), Escape::ResetDev);

    EXPECT_GT(PortClose(0), 0);
    EXPECT_FALSE(PortIsOpen(0));
    EXPECT_TRUE(com1->closed);
    EXPECT_EQ(com1->timeouts.readInterval, 1u);
    EXPECT_EQ(com1->timeouts.writeTotalConstant, 5u);
    EXPECT_EQ(PortClose(0), kPortNotOpen);
}

TEST_F(PortTable, XonXoffLimitsFollowTheReceiveQueue) {
    struct Case {
        uint32_t rx;
        uint16_t limit;
    };
    for (Case c : {Case{200, 50}, Case{512, 128}, Case{100, 25}, Case{513, 128}, Case{1600, 128}}) {
        ASSERT_EQ(PortOpen(0, c.rx, 1600), 0);
        EXPECT_EQ(com1->state.xonLim, c.limit) << c.rx;
        EXPECT_EQ(com1->state.xoffLim, c.limit) << c.rx;
        PortClose(0);
    }
}

TEST_F(PortTable, OpenOfMissingDeviceIsPlatformFailureAndLeavesPortClosed) {
    EXPECT_EQ(PortOpen(4, 1600, 1600), kPlatformFailed);
    EXPECT_FALSE(PortIsOpen(4));
    EXPECT_EQ(PortDsr(4), kPortNotOpen);
}

TEST_F(PortTable, FailedSettingsAfterOpenKeepThePortOpen) {
    com1->refuseSetState = true;
    EXPECT_EQ(PortOpen(0, 1600, 1600), kPlatformFailed);
    EXPECT_TRUE(PortIsOpen(0)) << "the handle was obtained, so the next close releases it";
    EXPECT_EQ(PortSetSpeed(0, 5), 0) << "a refused setting is the system's 0";
}

TEST_F(PortTable, SpeedCodesAndRates) {
    ASSERT_EQ(PortOpen(0, 1600, 1600), 0);
    struct Case {
        uint32_t arg, rate;
    };
    for (Case c : {Case{0, 110}, Case{5, 9600}, Case{9, 115200}, Case{4800, 4800}, Case{38400, 38400}}) {
        EXPECT_GT(PortSetSpeed(0, c.arg), 0);
        EXPECT_EQ(com1->state.baudRate, c.rate) << c.arg;
    }
}

TEST_F(PortTable, LineFlagsAreRecordedBeforeTheSystemCallAndReadBackInPlace) {
    ASSERT_EQ(PortOpen(0, 1600, 1600), 0);
    EXPECT_EQ(PortDtr(0, 'R'), 0);
    com1->refuseEscape = true;
    EXPECT_EQ(PortDtr(0, 'S'), 0) << "the system refused";
    EXPECT_EQ(PortDtr(0, 'R'), 1) << "but the flag stays recorded";
    com1->refuseEscape = false;
    EXPECT_GT(PortRts(0, 'S'), 0);
    EXPECT_EQ(PortRts(0, 'R'), 2);
    EXPECT_GT(PortRts(0, 'C'), 0);
    EXPECT_EQ(PortRts(0, 'R'), 0);
    EXPECT_EQ(PortRts(0, 'X'), kBadAction);
    EXPECT_EQ(PortDtr(0, 's'), kBadAction);
}

TEST_F(PortTable, FlowModesAndReassertion) {
    ASSERT_EQ(PortOpen(0, 1600, 1600), 0);
    PortDtr(0, 'S');
    PortRts(0, 'S');
    com1->escapes.clear();
    EXPECT_EQ(PortSetFlow(0, 'H'), 0);
    EXPECT_TRUE(com1->state.outxCtsFlow);
    EXPECT_EQ(com1->state.rtsControl, platform::kRtsControlHandshake);
    EXPECT_EQ(PortSetFlow(0, 'N'), 0);
    EXPECT_FALSE(com1->state.outxCtsFlow);
    EXPECT_EQ(com1->state.rtsControl, platform::kRtsControlDisable);
    EXPECT_EQ(PortSetFlow(0, 'S'), 0);
    EXPECT_TRUE(com1->state.outX);
    EXPECT_TRUE(com1->state.inX);
    // Each accepted setting put DTR and RTS back, DTR first.
    ASSERT_EQ(com1->escapes.size(), 6u);
    EXPECT_EQ(com1->escapes[0], Escape::SetDtr);
    EXPECT_EQ(com1->escapes[1], Escape::SetRts);

    // Flags survive a close and are re-asserted by the first setting after the next open.
    PortClose(0);
    ASSERT_EQ(PortOpen(0, 1600, 1600), 0);
    com1->escapes.clear();
    EXPECT_EQ(PortSetParms(0, 0, 0, 8), 0);
    EXPECT_EQ(com1->escapes.size(), 2u);

    // A refused setting re-asserts nothing and still answers 0.
    com1->refuseSetState = true;
    com1->escapes.clear();
    EXPECT_EQ(PortSetFlow(0, 'N'), 0);
    EXPECT_EQ(PortSetParms(0, 0, 0, 8), 0);
    EXPECT_TRUE(com1->escapes.empty());
}

TEST_F(PortTable, BytesQueuesErrorsAndModemLines) {
    ASSERT_EQ(PortOpen(0, 1600, 1600), 0);
    EXPECT_EQ(SioGetc(0), kNoByte);
    com1->rx = {0x00, 0xFF, '.'};
    EXPECT_EQ(PortRxCount(0), 3);
    EXPECT_EQ(SioGetc(0), 0x00);
    EXPECT_EQ(SioGetc(0), 0xFF);
    EXPECT_EQ(PortRxDrain(0), 0);
    EXPECT_EQ(PortRxCount(0), 0);

    EXPECT_EQ(SioPutc(0, 0x1B), 0);
    EXPECT_EQ(com1->written, "\x1B");
    com1->refuseWrite = true;
    EXPECT_EQ(SioPutc(0, 'x'), kPlatformFailed);

    com1->txQueue = 7;
    EXPECT_EQ(PortTxCount(0), 7);
    EXPECT_EQ(PortTxPurge(0), 0);
    EXPECT_EQ(com1->purgeCalls, 1);

    com1->errors = platform::kErrOverrun | platform::kErrParity | platform::kErrFrame;
    EXPECT_EQ(SioStatus(0, 10), 10);
    EXPECT_EQ(SioStatus(0, 10), 0) << "reading clears them";

    EXPECT_EQ(PortCts(0), 16);
    EXPECT_EQ(PortDsr(0), 32);
    com1->modem = platform::kModemDsr;
    EXPECT_EQ(PortCts(0), 0);
    com1->refuseModem = true;
    EXPECT_EQ(PortDsr(0), 0) << "a failed read counts as the line off";
}

}  // namespace
}  // namespace moldrin::serial
