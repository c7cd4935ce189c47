// A day closed through the library, its capture file grown by a later
// session's status records, made again by the built tool in a process of its
// own: the same fiscal file, byte for byte but for its signature.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "capture/capture_day.h"
#include "fiscalfile/final_assembly.h"
#include "sim/scenario.h"
#include "support/key_beside_executable.h"
#include "tool_process.h"

namespace moldrin {
namespace {

namespace fs = std::filesystem;

std::string Unsigned(const std::string& file) {
    const std::size_t ead = file.rfind("EAD");
    return ead == std::string::npos ? file : file.substr(0, ead);
}

class ClosedDayProcessed : public capture::CaptureDay {
protected:
    void SetUp() override {
        CaptureDay::SetUp();
        printer->EditState([](sim::PrinterState& s) { s.keepsFiscalDay = true; });
    }
    testing::KeyBesideExecutable key{root};
};

TEST_F(ClosedDayProcessed, TheToolMakesTheSameFileAfterALaterSession) {
    std::vector<sim::ScenarioStep> steps;
    std::string error;
    ASSERT_TRUE(sim::ReadScenario(std::string(MOLDRIN_SIM_SCENARIOS) + "/short_day.txt", &steps, &error)) << error;
    Open();
    for (const auto& step : steps) {
        Write(step.frame);
        Read();
    }
    ASSERT_EQ(ECFClose(), 0);
    const std::string final = std::string(fiscalfile::kFinishedDirectory) + "\\TA230001.9CQ";
    const std::string made = root.Read(final.c_str());
    ASSERT_NE(made.find("E13"), std::string::npos);

    const std::size_t recorded = Recorded().size();
    Open();
    EXPECT_EQ(Write("\x1B.271}"), 0);
    Read();
    ASSERT_EQ(ECFClose(), 0);
    ASSERT_GT(Recorded().size(), recorded);

    const std::string tool = testing::ToolWithOwnKey(root.path());
    ASSERT_FALSE(tool.empty());
    root.Write(final.c_str(), "");
    const testing::ToolResult r =
        testing::RunToolAt(tool, {"process", "c:\\TALMA\\RFD\\RFD-09-Dezembro-2026.bin"}, {"MOLDRIN_ROOT=" + root.path()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Unsigned(root.Read(final.c_str())), Unsigned(made));
}

}  // namespace
}  // namespace moldrin
