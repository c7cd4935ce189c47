// The simulator served on a virtual serial line, as `moldrin sim` runs it,
// reached by a session of the library through MOLDRIN_COM1 or by a bare host.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>

#include "moldrin.h"
#include "platform/posix/stream_socket_posix.h"
#include "platform/serial_device.h"
#include "sim/line_server.h"
#include "support/simulator_on_com1.h"

namespace moldrin::sim {
namespace {

// The simulator serving COM1 from the start; the capture stays off, as its
// own queries would take the faults meant for the command.
class OverTheLine : public testing::SimulatorOnCom1 {
protected:
    void SetUp() override { Serve(); }

    // Sends one command of the session's and reads what the application gets.
    std::string Command(const char* command) {
        ECFWrite(command);
        char reply[1728] = {};
        EXPECT_EQ(ECFRead(reply, sizeof reply), 0);
        return reply;
    }
};

TEST_F(OverTheLine, SessionReadsStatusAndCommands) {
    printer_.EditState([](PrinterState& s) { s.answers[30] = std::string(150, 'z'); });
    ASSERT_EQ(ECFOpen(1, 2, 500, 0), 0);
    EXPECT_EQ(Command("\x1B.271}"), Status27Record(printer_.State(), '1'));
    EXPECT_EQ(Command("\x1B.30}"), "." + std::string(24, 'z') + "}");
    EXPECT_EQ(ECFClose(), 0);
    EXPECT_EQ(printer_.Frames().front(), "\x1B.28}");
}

TEST_F(OverTheLine, AnOverrunDamagesTheAnswer) {
    ASSERT_EQ(ECFOpen(1, 1, 500, 0), 0);
    Faults f;
    f.overrun = true;
    printer_.SetFaults(f);
    // The byte it lost is missing; whether the error bit itself is seen depends
    // on when it comes, as on a wire.
    const std::string reply = Command("\x1B.30}");
    EXPECT_TRUE(reply == ".0030}" || reply == ".-P006}") << reply;
}

TEST_F(OverTheLine, CtsDropsWhileThePrinterWorks) {
    int err = 0;
    auto host = platform::OpenSerialByName(name_, &err);
    ASSERT_TRUE(host) << err;
    Faults f;
    f.answerDelayMs = 2000;  // long enough that a busy machine still shows the low spell
    printer_.SetFaults(f);
    uint32_t bits = 0;
    auto changed = [&] {
        const uint32_t before = bits;
        for (int i = 0; i < 40 && bits == before; ++i) {
            host->Wait(100);
            host->ModemStatus(&bits);
        }
        return bits;
    };
    ASSERT_TRUE(host->ModemStatus(&bits));
    if (bits == 0) changed();  // the server may not have taken the host in yet
    EXPECT_EQ(bits, platform::kModemCts | platform::kModemDsr);
    const std::string frame = "\x1B.30}";
    uint32_t written = 0;
    ASSERT_TRUE(host->Write(reinterpret_cast<const uint8_t*>(frame.data()), 5, &written));
    EXPECT_EQ(changed(), platform::kModemDsr);
    EXPECT_EQ(changed(), platform::kModemCts | platform::kModemDsr);
    uint32_t rx = 0;
    for (int i = 0; i < 30 && rx < 7; ++i) {
        host->ClearErrors(nullptr, &rx, nullptr);
        if (rx < 7) host->Wait(100);
    }
    EXPECT_EQ(rx, 7u);
}

TEST_F(OverTheLine, ASecondHostIsTurnedAwayWhileOneIsServed) {
    ASSERT_EQ(ECFOpen(1, 1, 500, 0), 0);
    platform::posix::Endpoint ep;
    int err = 0;
    ASSERT_TRUE(platform::posix::ParseEndpoint(name_, ep, &err));
    platform::posix::Fd other = platform::posix::ConnectStream(ep, 1000, &err);
    ASSERT_TRUE(other.valid()) << err;
    // Closed without a word (not even the modem status a served host gets first).
    platform::posix::PollFds(other.get(), POLLIN, -1, 0, 3000, nullptr);
    uint8_t buffer[16];
    EXPECT_EQ(::recv(other.get(), buffer, sizeof buffer, 0), 0);
    EXPECT_EQ(Command("\x1B.30}"), ".+0030}");

    // Once the first host has left, the next one is served.
    EXPECT_EQ(ECFClose(), 0);
    ASSERT_EQ(ECFOpen(1, 1, 500, 0), 0);
    EXPECT_EQ(Command("\x1B.31}"), ".+0031}");
}

TEST(LineFaults, ALostByteIsRefusedOnALine) {
    Faults lost, others;
    lost.loseByte = true;
    others.silent = others.dsrLow = others.ctsLow = others.overlongRecord = others.overrun = true;
    others.strayBefore = "#!?";
    others.answerDelayMs = 100;
    ASSERT_NE(FaultsALineCannotShow(lost), nullptr);
    EXPECT_NE(std::string(FaultsALineCannotShow(lost)).find("--fault lost-byte"), std::string::npos);
    EXPECT_EQ(FaultsALineCannotShow(others), nullptr);
    EXPECT_EQ(FaultsALineCannotShow({}), nullptr);
}

}  // namespace
}  // namespace moldrin::sim
