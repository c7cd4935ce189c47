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

// An open that detects the line speed of a silent printer holds the session's
// transitions for a minute or more: a close or another open on other threads
// gives up after about a read time-out, with one log line, and the calls after
// it work once the open is over.
TEST_F(PrinterEnd, OpenOrCloseBesideASlowOpenGivesUpInTime) {
    Serve();
    sim::Faults silent;
    silent.silent = true;
    printer_.SetFaults(silent);
    std::atomic<int> opened{1};
    std::thread opener([&] { opened = ECFOpen(1, 1, 500, 0); });
    const auto started = steady_clock::now();
    while (!Logged(root_, "Tentando descobrir a velocidade serial: 9600") && MsSince(started) < 5000) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    if (opened.load() != 1) {
        opener.join();
        FAIL() << "the open ended before its detection: " << opened.load();
    }

    struct Waiter {
        const char* name;
        int (*call)();
    };
    const Waiter waiters[] = {{"ECFClose()", [] { return ECFClose(); }},
                              {"ECFopen()", [] { return ECFOpen(1, 1, 500, 0); }}};
    for (const Waiter& w : waiters) {
        SCOPED_TRACE(w.name);
        const auto start = steady_clock::now();
        EXPECT_EQ(w.call(), -1);
        // The read time-out (1 s, or the detection's 2 s) and a margin.
        EXPECT_GE(MsSince(start), 1400);
        EXPECT_LT(MsSince(start), 4000);
        const std::string busy = std::string("ERRO - ") + w.name + CP1252(" NÃO ATENDIDO: SESSÃO OCUPADA POR OUTRA THREAD");
        auto lines = AllLogLines(root_);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), busy), 1);
    }
    EXPECT_EQ(opened.load(), 1) << "the slow open is still detecting";

    // The printer is switched off: without DSR the detection gives up, and the
    // session stays open without a known speed.
    silent.dsrLow = true;
    printer_.SetFaults(silent);
    opener.join();
    EXPECT_EQ(opened.load(), 0);
    printer_.SetFaults({});
    EXPECT_EQ(ECFClose(), 0);
    ASSERT_EQ(ECFOpen(1, 1, 500, 0), 0);
    EXPECT_EQ(ECFWrite("\x1B.271}"), 0);
    char reply[1728] = {};
    ASSERT_EQ(ECFRead(reply, sizeof reply), 0);
    EXPECT_EQ(std::string(reply).size(), 128u) << reply;
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
