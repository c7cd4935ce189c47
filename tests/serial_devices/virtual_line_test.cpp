// The host end of the virtual serial line against a printer end, over a Unix
// socket and over TCP loopback; the message coding is tested on its own.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <numeric>
#include <thread>

#include "platform/serial_device.h"
#include "platform/virtual_line_server.h"
#include "support/scratch_root.h"

namespace moldrin::platform {
namespace {

using std::chrono::steady_clock;

long ElapsedMs(steady_clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - since).count());
}

// Processor time of the whole test process: a wait that spins shows here.
long CpuMs() { return static_cast<long>(std::clock() * 1000.0 / CLOCKS_PER_SEC); }

// A printer end and a host device connected to it.
class VirtualLine : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        std::string name = GetParam() == std::string("unix") ? "unix:" + root_.path() + "/line.sock" : "tcp:127.0.0.1:0";
        int err = -1;
        printer_ = VirtualLinePrinterEnd::Open(name, &err);
        ASSERT_TRUE(printer_) << "errno " << err;
        printer_->SendModem(vline::kPrinterCts | vline::kPrinterDsr);
        Connect();
    }

    void Connect() {
        std::thread accept([&] { printer_->Accept(5000); });
        int err = -1;
        host_ = OpenSerialByName(printer_->Address(), &err);
        accept.join();
        ASSERT_TRUE(host_) << "errno " << err;
        ASSERT_TRUE(printer_->Connected());
    }

    // The next printer event of the kind asked for, skipping others.
    bool NextEvent(PrinterEndEvent::Kind kind, PrinterEndEvent& ev) {
        auto start = steady_clock::now();
        while (ElapsedMs(start) < 3000) {
            if (printer_->Poll(ev, 100) > 0 && ev.kind == kind) return true;
        }
        return false;
    }

    std::vector<uint8_t> PrinterReceives(size_t n) {
        std::vector<uint8_t> got;
        PrinterEndEvent ev;
        while (got.size() < n && NextEvent(PrinterEndEvent::Kind::Data, ev)) got.insert(got.end(), ev.data.begin(), ev.data.end());
        return got;
    }

    std::vector<uint8_t> HostReceives(size_t n) {
        std::vector<uint8_t> got;
        auto start = steady_clock::now();
        while (got.size() < n && ElapsedMs(start) < 3000) {
            uint8_t buf[512];
            uint32_t count = 0;
            EXPECT_TRUE(host_->Read(buf, sizeof buf, &count));
            got.insert(got.end(), buf, buf + count);
            if (count == 0) host_->Wait(200);
        }
        return got;
    }

    uint32_t HostModemAfterChange() {
        host_->Wait(2000);
        uint32_t bits = 0xFF;
        EXPECT_TRUE(host_->ModemStatus(&bits));
        return bits;
    }

    testing::ScratchRoot root_;
    std::unique_ptr<VirtualLinePrinterEnd> printer_;
    std::unique_ptr<SerialDevice> host_;
};

TEST_P(VirtualLine, DataTravelsBothWaysInAnyLength) {
    std::vector<uint8_t> toPrinter(700);
    std::iota(toPrinter.begin(), toPrinter.end(), 0);
    uint32_t written = 0;
    ASSERT_TRUE(host_->Write(toPrinter.data(), static_cast<uint32_t>(toPrinter.size()), &written));
    EXPECT_EQ(written, toPrinter.size());
    EXPECT_EQ(PrinterReceives(toPrinter.size()), toPrinter);

    std::vector<uint8_t> toHost(toPrinter.rbegin(), toPrinter.rend());
    ASSERT_TRUE(printer_->SendData(toHost.data(), toHost.size()));
    host_->Wait(2000);
    // The counts: the transmit queue is empty once a write returned.
    uint32_t errors = 99, rx = 0, tx = 99;
    ASSERT_TRUE(host_->ClearErrors(&errors, &rx, &tx));
    EXPECT_EQ(errors, 0u);
    EXPECT_GT(rx, 0u);
    EXPECT_EQ(tx, 0u);
    EXPECT_EQ(HostReceives(toHost.size()), toHost);

    uint8_t byte = 0;
    uint32_t got = 9;
    EXPECT_TRUE(host_->Read(&byte, 1, &got));
    EXPECT_EQ(got, 0u);  // an empty queue answers at once
}

TEST_P(VirtualLine, ModemLinesTravelBothWays) {
    // The printer's first status is in before the first read.
    uint32_t bits = 0;
    ASSERT_TRUE(host_->ModemStatus(&bits));
    EXPECT_EQ(bits, kModemCts | kModemDsr);

    printer_->SendModem(vline::kPrinterDsr);
    EXPECT_EQ(HostModemAfterChange(), kModemDsr);
    printer_->SendModem(vline::kPrinterCts);
    EXPECT_EQ(HostModemAfterChange(), kModemCts);

    struct Step {
        Escape escape;
        uint8_t lines;
    };
    const Step steps[] = {{Escape::SetDtr, vline::kHostDtr},
                          {Escape::SetRts, vline::kHostDtr | vline::kHostRts},
                          {Escape::ClrDtr, vline::kHostRts},
                          {Escape::ClrRts, 0}};
    for (const auto& step : steps) {
        ASSERT_TRUE(host_->EscapeFunction(step.escape));
        PrinterEndEvent ev;
        ASSERT_TRUE(NextEvent(PrinterEndEvent::Kind::HostLines, ev));
        EXPECT_EQ(ev.hostLines, step.lines);
        EXPECT_EQ(printer_->HostLines(), step.lines);
    }
}

TEST_P(VirtualLine, SettingsReachThePrinterAndDisabledLinesDrop) {
    ASSERT_TRUE(host_->EscapeFunction(Escape::SetDtr));
    ASSERT_TRUE(host_->EscapeFunction(Escape::SetRts));
    LineSettings s;
    s.baudRate = 4800;
    s.byteSize = 7;
    s.parity = 2;
    s.stopBits = 2;
    s.dtrControl = kDtrControlDisable;
    s.rtsControl = kRtsControlDisable;
    ASSERT_TRUE(host_->SetState(s));

    PrinterEndEvent ev;
    ASSERT_TRUE(NextEvent(PrinterEndEvent::Kind::Settings, ev));
    EXPECT_EQ(ev.settings, (vline::WireSettings{4800, 7, 2, 2}));
    EXPECT_EQ(printer_->HostSettings(), ev.settings);
    // Applying settings with the lines disabled lowers them, as the port table expects.
    ASSERT_TRUE(NextEvent(PrinterEndEvent::Kind::HostLines, ev));
    EXPECT_EQ(ev.hostLines, 0);

    LineSettings back;
    ASSERT_TRUE(host_->GetState(back));
    EXPECT_EQ(back.baudRate, 4800u);
    EXPECT_EQ(back.byteSize, 7);
    EXPECT_EQ(back.length, 28u);
}

TEST_P(VirtualLine, LineErrorsAreReadOnceThenCleared) {
    ASSERT_TRUE(printer_->SendErrors(kErrFrame | kErrOverrun));
    ASSERT_TRUE(printer_->SendErrors(kErrBreak));
    host_->Wait(2000);
    uint32_t errors = 0, rx = 9, tx = 9;
    // Both reports may not be in after one wait; what counts is that they add up.
    uint32_t all = 0;
    for (int i = 0; i < 20 && all != (kErrFrame | kErrOverrun | kErrBreak); ++i) {
        ASSERT_TRUE(host_->ClearErrors(&errors, &rx, &tx));
        all |= errors;
        if (all != (kErrFrame | kErrOverrun | kErrBreak)) host_->Wait(100);
    }
    EXPECT_EQ(all, kErrFrame | kErrOverrun | kErrBreak);
    EXPECT_EQ(rx, 0u);
    ASSERT_TRUE(host_->ClearErrors(&errors, &rx, &tx));
    EXPECT_EQ(errors, 0u);
}

TEST_P(VirtualLine, APeerThatLeftReadsAsLinesOffAndRefusesWrites) {
    const uint8_t last[] = {'.', '+', '}'};
    ASSERT_TRUE(printer_->SendData(last, sizeof last));
    printer_->Disconnect();
    PrinterEndEvent ev;
    EXPECT_TRUE(NextEvent(PrinterEndEvent::Kind::Disconnected, ev));
    EXPECT_FALSE(printer_->Connected());
    EXPECT_EQ(printer_->Poll(ev, 0), -1);

    // What arrived before the close is still there to read.
    EXPECT_EQ(HostReceives(3), std::vector<uint8_t>(last, last + 3));
    uint32_t bits = 0xFF;
    ASSERT_TRUE(host_->ModemStatus(&bits));
    EXPECT_EQ(bits, 0u);
    uint8_t byte = 0;
    uint32_t got = 9;
    EXPECT_TRUE(host_->Read(&byte, 1, &got));
    EXPECT_EQ(got, 0u);
    uint32_t written = 9;
    EXPECT_FALSE(host_->Write(last, 1, &written));
    EXPECT_EQ(written, 0u);

    // A dead line does not make a waiter spin: the wait takes its time.
    auto start = steady_clock::now();
    long cpu = CpuMs();
    host_->Wait(300);
    EXPECT_GE(ElapsedMs(start), 290);
    EXPECT_LT(CpuMs() - cpu, 100);
}

TEST_P(VirtualLine, WaitBlocksUntilSomethingArrivesOrTheTimeIsUp) {
    auto start = steady_clock::now();
    long cpu = CpuMs();
    host_->Wait(300);
    EXPECT_GE(ElapsedMs(start), 290);
    EXPECT_LT(CpuMs() - cpu, 100);  // blocked, not spinning

    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        printer_->SendModem(0);
    });
    start = steady_clock::now();
    host_->Wait(5000);
    long waited = ElapsedMs(start);
    later.join();
    EXPECT_LT(waited, 4000);
    uint32_t bits = 0xFF;
    ASSERT_TRUE(host_->ModemStatus(&bits));
    EXPECT_EQ(bits, 0u);
}

TEST_P(VirtualLine, TheNextHostIsServedAfterTheFirstLeaves) {
    host_.reset();
    PrinterEndEvent ev;
    ASSERT_TRUE(NextEvent(PrinterEndEvent::Kind::Disconnected, ev));
    Connect();
    uint32_t bits = 0;
    ASSERT_TRUE(host_->ModemStatus(&bits));
    EXPECT_EQ(bits, kModemCts | kModemDsr);  // the new host gets the status at once
    const uint8_t b = 'x';
    uint32_t written = 0;
    ASSERT_TRUE(host_->Write(&b, 1, &written));
    EXPECT_EQ(PrinterReceives(1), std::vector<uint8_t>{'x'});
}

TEST_P(VirtualLine, AnOverfullReceiveQueueKeepsItsBoundAndReportsOverrun) {
    std::vector<uint8_t> flood(70 * 1024, 0x55);
    std::thread sender([&] { printer_->SendData(flood.data(), flood.size()); });
    uint32_t errors = 0, rx = 0, tx = 0;
    auto start = steady_clock::now();
    while (ElapsedMs(start) < 3000) {
        host_->Wait(100);
        ASSERT_TRUE(host_->ClearErrors(&errors, &rx, &tx));
        if (errors) break;
    }
    sender.join();
    EXPECT_EQ(errors & kErrRxOver, kErrRxOver);
    EXPECT_EQ(rx, 64u * 1024u);
}

INSTANTIATE_TEST_SUITE_P(Sockets, VirtualLine, ::testing::Values("unix", "tcp"),
                         [](const auto& info) { return std::string(info.param); });

class EchoPrinter : public PrinterEndHandler {
public:
    void OnConnected(VirtualLinePrinterEnd& end) override {
        ++connects;
        end.SendModem(vline::kPrinterCts);
    }
    void OnData(VirtualLinePrinterEnd& end, const uint8_t* bytes, size_t n) override { end.SendData(bytes, n); }
    void OnSettings(VirtualLinePrinterEnd&, const vline::WireSettings& s) override { speed = s.baudRate; }
    std::atomic<int> connects{0};
    std::atomic<uint32_t> speed{0};
};

TEST(VirtualLineServe, ServesAHandlerUntilStopped) {
    testing::ScratchRoot root;
    int err = -1;
    auto printer = VirtualLinePrinterEnd::Open("unix:" + root.path() + "/serve.sock", &err);
    ASSERT_TRUE(printer) << err;
    EchoPrinter echo;
    std::atomic<bool> stop{false};
    std::thread server([&] { ServePrinterEnd(*printer, echo, stop, 1000); });

    auto host = OpenSerialByName(printer->Address(), &err);
    ASSERT_TRUE(host) << err;
    LineSettings s;
    s.baudRate = 19200;
    ASSERT_TRUE(host->SetState(s));
    const uint8_t text[] = "\x1B.27}";
    uint32_t written = 0;
    ASSERT_TRUE(host->Write(text, 5, &written));
    std::vector<uint8_t> got;
    auto start = steady_clock::now();
    while (got.size() < 5 && ElapsedMs(start) < 3000) {
        host->Wait(200);
        uint8_t buf[16];
        uint32_t n = 0;
        host->Read(buf, sizeof buf, &n);
        got.insert(got.end(), buf, buf + n);
    }
    EXPECT_EQ(got, std::vector<uint8_t>(text, text + 5));
    uint32_t bits = 0;
    host->ModemStatus(&bits);
    EXPECT_EQ(bits, kModemCts);
    EXPECT_EQ(echo.speed.load(), 19200u);
    EXPECT_EQ(echo.connects.load(), 1);

    // Stopping does not wait out the idle time.
    start = steady_clock::now();
    stop = true;
    printer->Wake();
    server.join();
    EXPECT_LT(ElapsedMs(start), 900);
}

TEST(VirtualLineOpen, RefusesWhatCannotBeReached) {
    testing::ScratchRoot root;
    struct Case {
        std::string name;
        int error;
    };
    const Case cases[] = {
        {"unix:" + root.path() + "/nobody.sock", ENOENT},
        {"unix:", EINVAL},
        {"unix:/" + std::string(200, 'a'), ENAMETOOLONG},
        {"tcp:127.0.0.1", EINVAL},
        {"tcp:127.0.0.1:port", EINVAL},
    };
    for (const auto& c : cases) {
        int err = 0;
        EXPECT_FALSE(OpenSerialByName(c.name, &err)) << c.name;
        EXPECT_EQ(err, c.error) << c.name;
    }
    // A port nobody listens on: take one that was just free.
    int err = 0;
    std::string address;
    {
        auto probe = VirtualLinePrinterEnd::Open("tcp:127.0.0.1:0", &err);
        ASSERT_TRUE(probe);
        address = probe->Address();
    }
    EXPECT_FALSE(OpenSerialByName(address, &err));
    EXPECT_EQ(err, ECONNREFUSED);
}

TEST(VirtualLineOpen, ListeningReplacesAStaleSocketButNoOtherFile) {
    testing::ScratchRoot root;
    std::string path = root.path() + "/line.sock";
    int err = 0;
    auto first = VirtualLinePrinterEnd::Open("unix:" + path, &err);
    ASSERT_TRUE(first);
    // A live printer end keeps its name: a second one on it is refused.
    EXPECT_FALSE(VirtualLinePrinterEnd::Open("unix:" + path, &err));
    EXPECT_EQ(err, EADDRINUSE);
    std::thread accept([&] { first->Accept(5000); });
    auto host = OpenSerialByName(first->Address(), &err);
    accept.join();
    EXPECT_TRUE(host) << err;
    EXPECT_TRUE(first->Connected());
    host.reset();

    // A socket file nobody listens on any more is stale, and is taken over.
    {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", (root.path() + "/stale.sock").c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    auto stale = VirtualLinePrinterEnd::Open("unix:" + root.path() + "/stale.sock", &err);
    EXPECT_TRUE(stale) << err;
    // An end going away removes its own file, never one that took its place.
    ::unlink(path.c_str());
    auto second = VirtualLinePrinterEnd::Open("unix:" + path, &err);
    ASSERT_TRUE(second) << err;
    first.reset();
    host = OpenSerialByName(second->Address(), &err);
    EXPECT_TRUE(host) << err;

    std::string plain = root.path() + "/notes.txt";
    std::ofstream(plain) << "keep me";
    err = 0;
    EXPECT_FALSE(VirtualLinePrinterEnd::Open("unix:" + plain, &err));
    EXPECT_EQ(err, EEXIST);
    std::ifstream in(plain);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "keep me");
}

}  // namespace
}  // namespace moldrin::platform
