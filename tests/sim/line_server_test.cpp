// The simulator served on a virtual serial line, as `moldrin sim` runs it,
// reached by a session of the library through MOLDRIN_COM1.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "moldrin.h"
#include "platform/virtual_line_server.h"
#include "sim/line_server.h"
#include "support/library_state.h"
#include "support/recording_operator.h"
#include "support/scratch_root.h"

namespace moldrin::sim {
namespace {

TEST(LineServer, SessionOverTheVirtualLineReadsStatusAndCommands) {
    testing::ResetLibraryState();
    testing::ScratchRoot root;
    testing::RecordingOperator op;
    root.Write("c:\\TALMA\\talma.ini", "");  // the line is under test, not the capture
    const std::string name = "unix:" + root.path() + "/line";
    int err = 0;
    auto end = platform::VirtualLinePrinterEnd::Open(name, &err);
    ASSERT_TRUE(end) << err;
    PrinterModel printer(9600);
    printer.EditState([](PrinterState& s) { s.answers[30] = std::string(150, 'z'); });
    std::atomic<bool> stop{false};
    std::thread server([&] { ServeModel(*end, printer, stop, {}); });

    setenv("MOLDRIN_COM1", name.c_str(), 1);
    ASSERT_EQ(ECFOpen(1, 2, 500, 0), 0);
    char reply[1728];
    EXPECT_EQ(ECFWrite("\x1B.271}"), 0);
    ASSERT_EQ(ECFRead(reply, sizeof reply), 0);
    EXPECT_EQ(std::string(reply), Status27Record(printer.State(), '1'));
    EXPECT_EQ(ECFWrite("\x1B.30}"), 0);
    ASSERT_EQ(ECFRead(reply, sizeof reply), 0);
    EXPECT_EQ(std::string(reply), "." + std::string(24, 'z') + "}");
    EXPECT_EQ(ECFClose(), 0);
    unsetenv("MOLDRIN_COM1");

    stop = true;
    end->Wake();
    server.join();
    EXPECT_EQ(printer.Frames().front(), "\x1B.28}");
    testing::ResetLibraryState();
}

}  // namespace
}  // namespace moldrin::sim
