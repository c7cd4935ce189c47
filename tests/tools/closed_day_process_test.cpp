// A day closed through the library, its capture file grown by a later
// session's status records, made again by the built tool in a process of its
// own: the same fiscal file, byte for byte but for its signature.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_day.h"
#include "fiscalfile/final_assembly.h"
#include "platform/clock.h"
#include "sign/ead.h"
#include "sim/scenario.h"
#include "support/key_beside_executable.h"
#include "tool_process.h"

namespace moldrin {
namespace {

namespace fs = std::filesystem;

// The file without its EAD line (the last one; its hex digits may hold "EAD" too).
std::string Unsigned(const std::string& file) {
    const std::size_t ead = file.rfind("\nEAD");
    return ead == std::string::npos ? file : file.substr(0, ead + 1);
}

// The finished fiscal files under a root, by name, with their bytes.
std::map<std::string, std::string> FinishedFiles(const std::string& root) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(root) / testing::kFinished, ec))
        if (entry.is_regular_file()) files[entry.path().filename().string()] = testing::ReadHost(entry.path());
    return files;
}

// Real milliseconds on a calendar that the test sets, as the printer's clock
// is set: a wait for another program's lock takes as long as that program
// holds it, as in a shop, and the computer's date follows the printer's.
// In use while it lives; `back` is the clock it hands back to.
class RealTimeOnSetDays final : public platform::Clock {
public:
    explicit RealTimeOnSetDays(platform::Clock& back) : back_(back) {
        platform::SetClock(nullptr);
        system_ = &platform::GetClock();
        platform::SetClock(this);
    }
    ~RealTimeOnSetDays() override { platform::SetClock(&back_); }
    RealTimeOnSetDays(const RealTimeOnSetDays&) = delete;
    RealTimeOnSetDays& operator=(const RealTimeOnSetDays&) = delete;
    // From a printer clock command's DDMMYYhhmm.
    void Set(const std::string& ddmmyyhhmm) {
        const auto number = [&](std::size_t at) { return std::stoi(ddmmyyhhmm.substr(at, 2)); };
        const std::lock_guard<std::mutex> hold(mutex_);
        now_ = {2000 + number(4), number(2), number(0), number(6), number(8), 0, 0,
                platform::WeekdayOf(2000 + number(4), number(2), number(0))};
    }
    uint32_t TickMs() override { return system_->TickMs(); }
    platform::LocalTime Now() override {
        const std::lock_guard<std::mutex> hold(mutex_);
        return now_;
    }
    void Sleep(uint32_t ms) override { system_->Sleep(ms); }
    void WaitDevice(platform::SerialDevice& device, uint32_t ms) override { system_->WaitDevice(device, ms); }
    platform::WaitResult WaitSemaphore(platform::SemaphoreHandle h, uint32_t ms) override {
        return system_->WaitSemaphore(h, ms);
    }

private:
    platform::Clock& back_;
    std::mutex mutex_;
    platform::LocalTime now_{2026, 12, 9, 10, 20, 30, 0, 3};
    platform::Clock* system_ = nullptr;
};

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

// A POS closes its day through the library while someone runs the tool on an
// earlier day of the same folder: each run waits for the other's processing,
// and each day's file holds its own day, complete and signed.
TEST_F(ClosedDayProcessed, APosClosesItsDayWhileTheToolProcessesAnotherDay) {
    std::vector<sim::ScenarioStep> steps;
    std::string error;
    ASSERT_TRUE(sim::ReadScenario(std::string(MOLDRIN_SIM_SCENARIOS) + "/two_days.txt", &steps, &error)) << error;
    std::size_t lastReduction = steps.size();
    while (lastReduction > 0 && steps[lastReduction - 1].frame != "\x1B.14}") --lastReduction;
    ASSERT_GT(lastReduction, 0u);
    --lastReduction;

    const std::string tool = testing::ToolWithOwnKey(root.path());
    ASSERT_FALSE(tool.empty());
    RealTimeOnSetDays realTime(clock);
    Open();
    for (std::size_t i = 0; i < lastReduction; ++i) {
        const std::string& frame = steps[i].frame;
        if (frame.rfind("\x1B.++CLOCK ", 0) == 0) realTime.Set(frame.substr(10, 10));
        if (frame.rfind("\x1B.++DATE ", 0) == 0) realTime.Set(frame.substr(9, 6) + "0805");
        Write(frame);
        Read();
    }
    const auto firstDay = FinishedFiles(root.path());
    ASSERT_EQ(firstDay.size(), 1u) << "the first day's file was not made";
    const std::string firstName = firstDay.begin()->first;

    // The reduction goes out once the tool's first run has begun its work file.
    const std::string workFile = (fs::path(root.path()) / "c/TALMA/RFD/TALMA.TMP").string();
    const auto stamp = [&] {
        struct stat st {};
        return ::stat(workFile.c_str(), &st) == 0 ? std::to_string(st.st_ino) + "." + std::to_string(st.st_mtim.tv_nsec)
                                                  : std::string();
    };
    const std::string before = stamp();
    std::vector<testing::ToolResult> runs(3);
    std::thread other([&] {
        for (auto& run : runs)
            run = testing::RunToolAt(tool, {"process", "c:\\TALMA\\RFD\\RFD-09-Dezembro-2026.bin"},
                                     {"MOLDRIN_ROOT=" + root.path()});
    });
    for (int waited = 0; stamp() == before && waited < 10000; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(Write(steps[lastReduction].frame), 0);
    Read();
    other.join();
    ASSERT_EQ(ECFClose(), 0);
    for (const auto& run : runs) EXPECT_EQ(run.status, 0) << run.out << run.err;

    const auto made = FinishedFiles(root.path());
    ASSERT_EQ(made.size(), 2u) << "the POS's day has no fiscal file";
    const std::string first = (fs::path(root.path()) / testing::kFinished / firstName).string();
    EXPECT_EQ(Unsigned(made.at(firstName)), Unsigned(firstDay.at(firstName))) << "the tool's day holds other lines";
    EXPECT_EQ(testing::RunToolAt(tool, {"verify", first}).status, 0);
    std::string secondName;
    for (const auto& [name, bytes] : made)
        if (name != firstName) secondName = name;
    const std::string second = (fs::path(root.path()) / testing::kFinished / secondName).string();
    EXPECT_EQ(sign::VerifyFileWithKey(second.c_str(), key.keyFile().c_str()), sign::kSignOk);
    EXPECT_FALSE(fs::exists(fs::path(root.path()) / "c/TALMA/RFD/TALMA.TXT"));

    // The POS's day, made again by the tool alone, is the same file.
    const std::string posDay = made.at(secondName);
    fs::remove(second);
    const testing::ToolResult again =
        testing::RunToolAt(tool, {"process", "c:\\TALMA\\RFD\\RFD-10-Dezembro-2026.bin"}, {"MOLDRIN_ROOT=" + root.path()});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_EQ(Unsigned(testing::ReadHost(second)), Unsigned(posDay));
}

}  // namespace
}  // namespace moldrin
