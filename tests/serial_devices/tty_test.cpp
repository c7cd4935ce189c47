// The termios back end on a pseudo-terminal, and the names that open nothing;
// a real serial port is never touched.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <fstream>
#include <thread>

#include "platform/posix/tty_posix.h"
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

// A driver with modem lines, played over a pseudo-terminal (which has none): the
// lines are the test's, and a "change wait" blocks until the test pokes a pipe.
namespace fake_modem {
std::atomic<int> lines{0};
std::atomic<int> getCalls{0};
int poke[2] = {-1, -1};
char taken;  // not on the stack: the waiting frame is unwound by cancellation

int Get(int, int* out) {
    ++getCalls;
    *out = lines.load();
    return 0;
}
int WaitChange(int, int) {
    if (::read(poke[0], &taken, 1) == 1) return 0;
    errno = EIO;
    return -1;
}
int CannotWait(int, int) {
    errno = ENOTTY;
    return -1;
}
}  // namespace fake_modem

int CountEntries(const char* dir) {
    int n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

class TtyModemLines : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty_.ok());
        ASSERT_EQ(::pipe(fake_modem::poke), 0);
        fake_modem::lines = 0;
        fake_modem::getCalls = 0;
    }
    void TearDown() override {
        dev_.reset();
        ::close(fake_modem::poke[0]);
        ::close(fake_modem::poke[1]);
    }
    void Open(int (*waitChange)(int, int)) {
        int err = -1;
        dev_ = posix::OpenTty(pty_.name(), &err, {&fake_modem::Get, waitChange});
        ASSERT_TRUE(dev_) << "errno " << err;
    }
    // Raises CTS; the driver's change wait hears of it only when `tell`.
    static void RaiseCts(bool tell) {
        fake_modem::lines = TIOCM_CTS;
        if (tell) {
            EXPECT_EQ(::write(fake_modem::poke[1], "x", 1), 1);
        }
    }
    // How long a wait of 5 s takes when CTS rises 50 ms into it.
    long WaitForCtsRise(bool tell) {
        std::thread later([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            RaiseCts(tell);
        });
        auto start = steady_clock::now();
        dev_->Wait(5000);
        long waited = ElapsedMs(start);
        later.join();
        return waited;
    }
    testing::PtyPair pty_;
    std::unique_ptr<SerialDevice> dev_;
};

// Where the driver waits for line changes, an idle wait blocks instead of looking
// at the lines every millisecond, and a change still ends it at once.
TEST_F(TtyModemLines, WithTheDriversChangeWaitAnIdleWaitBlocksAndAChangeEndsIt) {
    Open(&fake_modem::WaitChange);
    int before = fake_modem::getCalls;
    auto start = steady_clock::now();
    dev_->Wait(300);
    EXPECT_GE(ElapsedMs(start), 290);
    EXPECT_LT(fake_modem::getCalls - before, 10) << "the lines were polled while idle";

    EXPECT_LT(WaitForCtsRise(true), 2000);
    uint32_t bits = 0;
    ASSERT_TRUE(dev_->ModemStatus(&bits));
    EXPECT_EQ(bits & kModemCts, kModemCts);
}

// The link's idle slices ask for the lines and then wait; while the driver counts
// every change, the wait itself need not read them again (on a UART behind a
// hypervisor each read traps), and a change still ends it and is reported.
TEST_F(TtyModemLines, IdleSlicesReadTheLinesOnceEach) {
    Open(&fake_modem::WaitChange);
    uint32_t bits = 0;
    const int before = fake_modem::getCalls;
    constexpr int kSlices = 30;
    for (int i = 0; i < kSlices; ++i) {
        ASSERT_TRUE(dev_->ModemStatus(&bits));
        dev_->Wait(5);
    }
    EXPECT_LE(fake_modem::getCalls - before, kSlices + 2);
    EXPECT_LT(WaitForCtsRise(true), 2000);
    ASSERT_TRUE(dev_->ModemStatus(&bits));
    EXPECT_EQ(bits & kModemCts, kModemCts);
    // Lowered and told: the next wait ends at once and sees it.
    fake_modem::lines = 0;
    ASSERT_EQ(::write(fake_modem::poke[1], "x", 1), 1);
    auto start = steady_clock::now();
    dev_->Wait(2000);
    EXPECT_LT(ElapsedMs(start), 1000);
    ASSERT_TRUE(dev_->ModemStatus(&bits));
    EXPECT_EQ(bits & kModemCts, 0u);
}

// Where it cannot (or the watcher is not asked to), the wait looks at the lines
// itself, often enough to see a change within a few milliseconds.
TEST_F(TtyModemLines, WithoutTheChangeWaitTheLinesAreStillSeenToChange) {
    for (auto waitChange : {&fake_modem::CannotWait, static_cast<int (*)(int, int)>(nullptr)}) {
        Open(waitChange);
        fake_modem::lines = 0;
        uint32_t bits = 9;
        ASSERT_TRUE(dev_->ModemStatus(&bits));
        EXPECT_EQ(bits, 0u);
        EXPECT_LT(WaitForCtsRise(false), 2000);
        dev_.reset();
    }
}

// A report of the lines to another thread must not hide the change from a wait
// already under way: the transmitter waiting for CTS would sit out its time-out.
TEST_F(TtyModemLines, AChangeReportedToAnotherThreadStillEndsAWaitInProgress) {
    Open(nullptr);
    std::atomic<long> waited{-1};
    std::thread waiter([&] {
        auto start = steady_clock::now();
        dev_->Wait(3000);
        waited = ElapsedMs(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    RaiseCts(false);
    uint32_t bits = 0;
    EXPECT_TRUE(dev_->ModemStatus(&bits));
    waiter.join();
    EXPECT_LT(waited.load(), 2000);
}

// Close ends the watcher that sits in the driver's wait, at once, and leaves no
// thread and no descriptor behind.
TEST_F(TtyModemLines, CloseEndsTheWatcherAtOnceAndLeavesNothingBehind) {
    const int threads = CountEntries("/proc/self/task");
    const int fds = CountEntries("/proc/self/fd");
    for (int round = 0; round < 3; ++round) {
        Open(&fake_modem::WaitChange);
        EXPECT_EQ(CountEntries("/proc/self/task"), threads + 1) << "one watcher per open device";
        if (round == 1) dev_->Wait(20);
        if (round == 2) RaiseCts(true);
        auto start = steady_clock::now();
        dev_.reset();
        EXPECT_LT(ElapsedMs(start), 1000);
        EXPECT_EQ(CountEntries("/proc/self/task"), threads);
        EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    }
}

// A line whose far end is gone (a cable or an adapter pulled) reports a hang-up
// for ever; waiting on it must still block, not spin. The played lines count the
// looks: about one per 2 ms, where a spin makes thousands.
TEST(TtyHangUp, AWaitOnAHungUpLineDoesNotSpin) {
    auto pty = std::make_unique<testing::PtyPair>();
    ASSERT_TRUE(pty->ok());
    int err = -1;
    auto dev = posix::OpenTty(pty->name(), &err, {&fake_modem::Get, nullptr});
    ASSERT_TRUE(dev) << err;
    pty.reset();
    fake_modem::getCalls = 0;
    auto start = steady_clock::now();
    dev->Wait(300);
    EXPECT_GE(ElapsedMs(start), 290);
    EXPECT_LT(fake_modem::getCalls.load(), 400);
}

// The port layer may be entered from two threads at once (a fast write while a
// command waits for its reply): the device's own state must hold up.
TEST_F(TtyModemLines, OneThreadWaitsAndReadsWhileAnotherWritesAndAsks) {
    Open(&fake_modem::WaitChange);
    std::vector<uint8_t> sent;
    for (int i = 0; i < 400; ++i) sent.push_back(static_cast<uint8_t>(i * 7));
    std::vector<uint8_t> got;
    std::thread reader([&] {
        auto start = steady_clock::now();
        while (got.size() < sent.size() && ElapsedMs(start) < 5000) {
            dev_->Wait(10);
            uint8_t buf[32];
            uint32_t n = 0;
            if (dev_->Read(buf, sizeof buf, &n)) got.insert(got.end(), buf, buf + n);
        }
    });
    std::thread asker([&] {
        for (int i = 0; i < 200; ++i) {
            uint32_t bits = 0, errors = 0, rx = 0, tx = 0;
            dev_->ModemStatus(&bits);
            dev_->ClearErrors(&errors, &rx, &tx);
            LineSettings s;
            dev_->GetState(s);
            const uint8_t b = '.';
            uint32_t w = 0;
            EXPECT_TRUE(dev_->Write(&b, 1, &w));
            if (i % 50 == 0) RaiseCts(true);
        }
    });
    for (size_t i = 0; i < sent.size(); i += 40) {
        pty_.Send(std::vector<uint8_t>(sent.begin() + static_cast<long>(i), sent.begin() + static_cast<long>(i + 40)));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    asker.join();
    reader.join();
    EXPECT_EQ(got, sent);
    EXPECT_EQ(pty_.Receive(200).size(), 200u);
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
