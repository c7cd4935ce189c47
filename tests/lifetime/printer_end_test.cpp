// What the session does when the printer end of a virtual line misbehaves: it
// stops reading, it goes away and comes back, or it already serves another host.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "log/text.h"
#include "moldrin.h"
#include "platform/posix/stream_socket_posix.h"
#include "platform/virtual_line.h"
#include "support/log_reader.h"
#include "support/simulator_on_com1.h"

namespace moldrin::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

long MsSince(steady_clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count());
}

bool Logged(const ScratchRoot& root, const std::string& line) {
    auto lines = AllLogLines(root);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The printer end is served only when a test says so.
using PrinterEnd = SimulatorOnCom1;

// A 1500-character command to a printer end that stopped reading fills the
// stream: the byte that cannot be handed over within the per-byte time fails
// the transmission, instead of holding the application (and its lock) for ever.
TEST_F(PrinterEnd, ACommandToAnEndThatStoppedReadingFailsInTime) {
    Serve();
    ASSERT_EQ(ECFOpen(1, 1, 500, 0), 0);
    StopServing();

    std::string command = "\x1B.08" + std::string(1495, 'x') + "}";
    ASSERT_EQ(command.size(), 1500u);
    const auto start = steady_clock::now();
    EXPECT_EQ(ECFWrite(command.c_str()), -1);
    EXPECT_LT(MsSince(start), 6000);
    char reply[1728] = {};
    ASSERT_EQ(ECFRead(reply, sizeof reply), 0);
    EXPECT_STREQ(reply, ".-P002}");
    EXPECT_TRUE(Logged(root_, "<<<< nao vem DSR !!!  -  ECF ligado?   OCUPADO? "
                              "sem TAMPA?    sem PAPEL?   CABO desconectado? >>>>"));

    const auto closing = steady_clock::now();
    EXPECT_EQ(ECFClose(), 0);
    EXPECT_LT(MsSince(closing), 1000);
}

// A printer end that goes away with a command in flight and comes back (a
// power-cycled printer): the command fails with the usual reply, and the next
// one reaches the printer again, after our line settings.
TEST_F(PrinterEnd, AfterThePrinterEndRestartsTheNextCommandWorks) {
    printer_.SetResponder([this](std::string_view frame) -> std::optional<std::string> {
        if (frame != "\x1B.30}") return std::nullopt;
        end_->Disconnect();
        return std::string();
    });
    Serve();
    ASSERT_EQ(ECFOpen(1, 1, 500, 0), 0);
    char reply[1728] = {};
    EXPECT_EQ(ECFWrite("\x1B.271}"), 0);

    EXPECT_EQ(ECFWrite("\x1B.30}"), -1);
    ASSERT_EQ(ECFRead(reply, sizeof reply), 0);
    EXPECT_STREQ(reply, ".-P006}");

    printer_.ClearFrames();
    EXPECT_EQ(ECFWrite("\x1B.271}"), 0);
    ASSERT_EQ(ECFRead(reply, sizeof reply), 0);
    EXPECT_EQ(std::string(reply).size(), 128u) << reply;
    EXPECT_EQ(printer_.HostSpeed(), 9600u);
    EXPECT_EQ(printer_.Frames(), std::vector<std::string>{"\x1B.271}"});
}

// A printer end that already serves a host accepts the next connection only to
// close it at once: the port is in use, and ECFOpen says so without waiting.
TEST_F(PrinterEnd, AnEndThatServesAnotherHostRefusesTheOpen) {
    platform::posix::Endpoint ep;
    ASSERT_TRUE(platform::posix::ParseEndpoint(name_, ep, nullptr));
    int err = 0;
    platform::posix::Fd listener = platform::posix::ListenStream(ep, nullptr, &err);
    ASSERT_TRUE(listener.valid()) << err;
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        platform::posix::Fd first;
        while (!stop) {
            if (!(platform::posix::PollFds(listener.get(), POLLIN, -1, 0, 20, nullptr) & POLLIN)) continue;
            platform::posix::Fd conn = platform::posix::AcceptStream(listener.get());
            if (!conn.valid()) continue;
            if (first.valid()) continue;  // closed as it goes out of scope, before any status
            std::vector<uint8_t> modem;
            platform::vline::AppendModem(modem, platform::vline::kPrinterCts | platform::vline::kPrinterDsr);
            ::send(conn.get(), modem.data(), modem.size(), MSG_NOSIGNAL);
            first = std::move(conn);
        }
    });
    // Another program holds the line.
    platform::posix::Fd other = platform::posix::ConnectStream(ep, 1000, &err);
    ASSERT_TRUE(other.valid()) << err;

    const auto start = steady_clock::now();
    EXPECT_EQ(ECFOpen(1, 1, 500, 0), -1);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_TRUE(Logged(root_, "CONFLITO DE PORTA NO SISTEMA - status =(-103) ["));
    EXPECT_TRUE(Logged(root_, "<<<< Porta informada COM1  >>>>"));
    EXPECT_EQ(ECFClose(), 0);
    stop = true;
    peer.join();
}

}  // namespace
}  // namespace moldrin::testing
