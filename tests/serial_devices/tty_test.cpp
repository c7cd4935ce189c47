// The termios back end on a pseudo-terminal, and the names that open nothing;
// a real serial port is never touched.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <fstream>
#include <thread>

#include "platform/serial_device.h"
#include "platform/virtual_line_server.h"
#include "pty_pair.h"
#include "support/scratch_root.h"

namespace moldrin::platform {
namespace {

using std::chrono::steady_clock;

long ElapsedMs(steady_clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - since).count());
}

TEST(TtyOpen, AMissingOrNonTerminalDeviceGivesNullAndTheReason) {
    testing::ScratchRoot root;
    std::string plain = root.path() + "/not-a-tty";
    std::ofstream(plain) << "x";
    struct Case {
        std::string name;
        int error;
    };
    const Case cases[] = {
        {"/dev/ttyMOLDRIN-none", ENOENT},
        {root.path() + "/missing/ttyS0", ENOENT},
        {plain, ENOTTY},
        {"", ENOENT},
    };
    for (const auto& c : cases) {
        int err = 0;
        EXPECT_FALSE(OpenSerialByName(c.name, &err)) << c.name;
        EXPECT_EQ(err, c.error) << c.name;
    }
}

// What a second opener in another process gets: 0 when it could open, else its errno.
int OpenInChild(const std::string& name) {
    pid_t child = ::fork();
    if (child == 0) {
        int err = 0;
        auto dev = OpenSerialByName(name, &err);
        ::_exit(dev ? 0 : (err ? err : 255));
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A port in use is refused to a second opener at once, even to root (who passes
// the terminal's own exclusive flag), and is free again once closed.
TEST(TtyOpen, ASecondOpenerIsRefusedHereAndInAnotherProcessUntilClose) {
    testing::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    int err = -1;
    auto first = OpenSerialByName(pty.name(), &err);
    ASSERT_TRUE(first) << err;

    auto start = steady_clock::now();
    err = 0;
    EXPECT_FALSE(OpenSerialByName(pty.name(), &err));
    EXPECT_EQ(err, EBUSY);
    EXPECT_EQ(OpenInChild(pty.name()), EBUSY);
    EXPECT_LT(ElapsedMs(start), 2000);

    first.reset();
    EXPECT_EQ(OpenInChild(pty.name()), 0);
    auto again = OpenSerialByName(pty.name(), &err);
    EXPECT_TRUE(again) << "errno " << err;
}

class Tty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty_.ok());
        int err = -1;
        dev_ = OpenSerialByName(pty_.name(), &err);
        ASSERT_TRUE(dev_) << "errno " << err;
    }
    testing::PtyPair pty_;
    std::unique_ptr<SerialDevice> dev_;
};

TEST_F(Tty, AppliesSettingsItCanAndRefusesOthers) {
    LineSettings s;
    s.baudRate = 4800;
    s.byteSize = 7;
    s.parity = 2;
    s.stopBits = 2;
    ASSERT_TRUE(dev_->SetState(s));
    LineSettings back;
    ASSERT_TRUE(dev_->GetState(back));
    EXPECT_EQ(back.baudRate, 4800u);
    EXPECT_EQ(back.byteSize, 7);
    EXPECT_EQ(back.parity, 2);
    EXPECT_EQ(back.stopBits, 2);
    EXPECT_EQ(back.length, 28u);

    struct Bad {
        const char* what;
        uint32_t rate;
        uint8_t bits, parity, stop;
    };
    const Bad bad[] = {{"rate", 12345, 8, 0, 0}, {"data bits", 9600, 9, 0, 0}, {"parity", 9600, 8, 5, 0}, {"stop", 9600, 8, 0, 3}};
    for (const auto& b : bad) {
        LineSettings t;
        t.baudRate = b.rate;
        t.byteSize = b.bits;
        t.parity = b.parity;
        t.stopBits = b.stop;
        EXPECT_FALSE(dev_->SetState(t)) << b.what;
        ASSERT_TRUE(dev_->GetState(back));
        EXPECT_EQ(back.baudRate, 4800u) << "a refused block leaves the last one: " << b.what;
    }
}

// Raw means raw: no byte the printer protocol uses may be translated or eaten.
TEST_F(Tty, MovesEveryByteUnchangedBothWays) {
    // Software flow control switched on and off again must leave XON/XOFF as data.
    LineSettings s;
    s.outX = s.inX = true;
    ASSERT_TRUE(dev_->SetState(s));
    EXPECT_EQ(pty_.InputFlags() & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
    s.outX = s.inX = false;
    ASSERT_TRUE(dev_->SetState(s));
    EXPECT_EQ(pty_.InputFlags() & (IXON | IXOFF), tcflag_t{0});
    std::vector<uint8_t> bytes;
    for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<uint8_t>(b));
    uint32_t written = 0;
    ASSERT_TRUE(dev_->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written));
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(pty_.Receive(bytes.size()), bytes);

    pty_.Send(bytes);
    std::vector<uint8_t> got;
    auto start = steady_clock::now();
    while (got.size() < bytes.size() && ElapsedMs(start) < 3000) {
        uint32_t errors = 9, rx = 0, tx = 0;
        ASSERT_TRUE(dev_->ClearErrors(&errors, &rx, &tx));
        EXPECT_EQ(errors, 0u);
        if (rx == 0) {
            dev_->Wait(200);
            continue;
        }
        uint8_t buf[64];
        uint32_t n = 0;
        ASSERT_TRUE(dev_->Read(buf, sizeof buf, &n));
        got.insert(got.end(), buf, buf + n);
    }
    EXPECT_EQ(got, bytes);
    uint8_t b;
    uint32_t n = 9;
    EXPECT_TRUE(dev_->Read(&b, 1, &n));
    EXPECT_EQ(n, 0u);  // idle line: nothing, at once
}

TEST_F(Tty, WaitBlocksUntilInputOrTheTimeIsUp) {
    auto start = steady_clock::now();
    long cpu = static_cast<long>(std::clock() * 1000.0 / CLOCKS_PER_SEC);
    dev_->Wait(300);
    EXPECT_GE(ElapsedMs(start), 290);
    // A line without modem lines to watch blocks in poll() the whole time.
    EXPECT_LT(static_cast<long>(std::clock() * 1000.0 / CLOCKS_PER_SEC) - cpu, 100);

    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty_.Send({'.', '}'});
    });
    start = steady_clock::now();
    dev_->Wait(5000);
    long waited = ElapsedMs(start);
    later.join();
    EXPECT_LT(waited, 4000);

    // Unread input does not turn later waits into a spin.
    start = steady_clock::now();
    dev_->Wait(1);  // may report the arrival once more
    dev_->Wait(60);
    EXPECT_GE(ElapsedMs(start), 50);
}

TEST_F(Tty, ResetAndReceivePurgeDropWaitingInput) {
    for (uint32_t purge : {0u, 0x0008u}) {
        pty_.Send({'a', 'b'});
        dev_->Wait(500);
        uint32_t rx = 0;
        ASSERT_TRUE(dev_->ClearErrors(nullptr, &rx, nullptr));
        ASSERT_EQ(rx, 2u);
        if (purge == 0) {
            EXPECT_TRUE(dev_->Purge(0));  // no flags: nothing discarded
            ASSERT_TRUE(dev_->ClearErrors(nullptr, &rx, nullptr));
            EXPECT_EQ(rx, 2u);
            EXPECT_TRUE(dev_->EscapeFunction(Escape::ResetDev));
        } else {
            EXPECT_TRUE(dev_->Purge(purge));
        }
        ASSERT_TRUE(dev_->ClearErrors(nullptr, &rx, nullptr));
        EXPECT_EQ(rx, 0u);
    }
}

TEST(TtyPrinterEnd, CarriesDataOverATerminal) {
    testing::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    int err = -1;
    auto printer = VirtualLinePrinterEnd::Open(pty.name(), &err);
    ASSERT_TRUE(printer) << err;
    EXPECT_TRUE(printer->Accept(0));
    EXPECT_EQ(printer->Address(), pty.name());
    EXPECT_FALSE(printer->SendErrors(kErrFrame));

    pty.Send({0x1B, '.', '2', '3', '}'});
    std::vector<uint8_t> got;
    PrinterEndEvent ev;
    auto start = steady_clock::now();
    while (got.size() < 5 && ElapsedMs(start) < 3000)
        if (printer->Poll(ev, 200) > 0 && ev.kind == PrinterEndEvent::Kind::Data) got.insert(got.end(), ev.data.begin(), ev.data.end());
    EXPECT_EQ(got, (std::vector<uint8_t>{0x1B, '.', '2', '3', '}'}));

    const uint8_t reply[] = {'.', '+', '}'};
    ASSERT_TRUE(printer->SendData(reply, sizeof reply));
    EXPECT_EQ(pty.Receive(3), std::vector<uint8_t>(reply, reply + 3));

    // Wake cuts a long poll short.
    printer->Wake();
    start = steady_clock::now();
    EXPECT_EQ(printer->Poll(ev, 5000), 0);
    EXPECT_LT(ElapsedMs(start), 4000);
}

class CountingPrinter : public PrinterEndHandler {
public:
    void OnConnected(VirtualLinePrinterEnd& end) override {
        ++connects;
        end.SendData(reinterpret_cast<const uint8_t*>("hi"), 2);
    }
    std::atomic<int> connects{0};
};

TEST(TtyPrinterEnd, TheServeLoopAnnouncesTheTerminalOnce) {
    testing::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    int err = -1;
    auto printer = VirtualLinePrinterEnd::Open(pty.name(), &err);
    ASSERT_TRUE(printer) << err;
    CountingPrinter handler;
    std::atomic<bool> stop{false};
    std::thread server([&] { ServePrinterEnd(*printer, handler, stop, 10); });
    EXPECT_EQ(pty.Receive(2), (std::vector<uint8_t>{'h', 'i'}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    printer->Wake();
    server.join();
    EXPECT_EQ(handler.connects.load(), 1);
}

}  // namespace
}  // namespace moldrin::platform
