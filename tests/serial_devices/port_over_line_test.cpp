// The port table driving the virtual serial line through the COM name mapping:
// what the printer end sees of an open, the hand-shake lines and single bytes.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <thread>

#include "platform/virtual_line_server.h"
#include "serial/port_table.h"
#include "support/scratch_root.h"

namespace moldrin {
namespace {

using platform::PrinterEndEvent;

TEST(PortOverVirtualLine, OpenProgramsTheLineAndBytesAndLinesFlow) {
    testing::ScratchRoot root;
    int err = 0;
    auto printer = platform::VirtualLinePrinterEnd::Open("unix:" + root.path() + "/com5.sock", &err);
    ASSERT_TRUE(printer) << err;
    printer->SendModem(platform::vline::kPrinterDsr);
    ::setenv("MOLDRIN_COM5", printer->Address().c_str(), 1);
    const int com5 = 4;

    serial::PortSetSpeed(-1, 5);
    serial::PortSetParms(-1, 0, 0, 8);
    std::thread accept([&] { printer->Accept(5000); });
    int opened = serial::PortOpen(com5, 1600, 1600);
    accept.join();
    ::unsetenv("MOLDRIN_COM5");
    ASSERT_EQ(opened, 0);

    auto next = [&](PrinterEndEvent::Kind kind, PrinterEndEvent& ev) {
        for (int i = 0; i < 30; ++i)
            if (printer->Poll(ev, 100) > 0 && ev.kind == kind) return true;
        return false;
    };
    PrinterEndEvent ev;
    ASSERT_TRUE(next(PrinterEndEvent::Kind::Settings, ev));
    EXPECT_EQ(ev.settings, (platform::vline::WireSettings{9600, 8, 0, 0}));

    EXPECT_EQ(serial::PortDsr(com5), 32);
    EXPECT_EQ(serial::PortCts(com5), 0);
    EXPECT_EQ(serial::SioGetc(com5), serial::kNoByte);

    EXPECT_NE(serial::PortRts(com5, 'S'), 0);
    ASSERT_TRUE(next(PrinterEndEvent::Kind::HostLines, ev));
    EXPECT_EQ(ev.hostLines, platform::vline::kHostRts);

    EXPECT_EQ(serial::SioPutc(com5, 0x1B), 0);
    ASSERT_TRUE(next(PrinterEndEvent::Kind::Data, ev));
    EXPECT_EQ(ev.data, std::vector<uint8_t>{0x1B});

    const uint8_t reply[] = {'.', '+', '}'};
    printer->SendData(reply, sizeof reply);
    printer->SendModem(platform::vline::kPrinterCts | platform::vline::kPrinterDsr);
    std::vector<uint8_t> got;
    for (int i = 0; i < 30 && got.size() < 3; ++i) {
        int c = serial::SioGetc(com5);
        if (c >= 0)
            got.push_back(static_cast<uint8_t>(c));
        else
            serial::PortWait(com5, 100);
    }
    EXPECT_EQ(got, std::vector<uint8_t>(reply, reply + 3));
    EXPECT_EQ(serial::PortCts(com5), 16);
    EXPECT_EQ(serial::PortTxCount(com5), 0);

    EXPECT_EQ(serial::PortClose(com5), 1);
    ASSERT_TRUE(next(PrinterEndEvent::Kind::Disconnected, ev));
}

}  // namespace
}  // namespace moldrin
