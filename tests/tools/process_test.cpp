// "moldrin process" as a user runs it: capture files recorded here from the
// simulator's scripted days, turned into signed fiscal files by the built tool,
// and the same run killed at random moments and run again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_day.h"
#include "sign/ead.h"
#include "sim/scenario.h"
#include "support/capture_recorder.h"
#include "tool_process.h"

namespace moldrin {
namespace {

namespace fs = std::filesystem;
using testing::RunToolAt;
using testing::ToolResult;

using testing::kFinished;
using testing::ReadHost;

// Every file of a folder by name, with its bytes; empty when there is no folder.
std::map<std::string, std::string> Files(const fs::path& dir) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (entry.is_regular_file()) files[entry.path().filename().string()] = ReadHost(entry.path());
    return files;
}

class ProcessTool : public ::testing::Test {
protected:
    // Recording a day writes every line through to the disk: the days are
    // recorded once, and every test copies them into roots of its own.
    static void SetUpTestSuite() {
        recorded = new testing::ScratchRoot;
        tool = testing::ToolWithOwnKey(recorded->path());
        ASSERT_FALSE(tool.empty());
        keyFile = recorded->path() + "/bin/RSA.BIN";
        RecordDays();
    }
    static void TearDownTestSuite() {
        delete recorded;
        recorded = nullptr;
        captures.clear();
    }

    // Three days of sales, each on its own date, as the capture would have
    // recorded them, and the application's registration for that printer.
    static void RecordDays() {
        testing::FakeClock clock;
        capture::ResetCaptureState();
        capture::g_registration = capture::RegistrationRecord{};
        capture::TakeIdentification(testing::DemoIdentification());
        ASSERT_EQ(capture::WriteRegistrationFile('B', 0), 1);
        sim::PrinterModel printer;
        printer.EditState([](sim::PrinterState& s) { s.grandTotal = capture::kGrandTotal; });
        testing::CaptureRecorder recorder(printer, [&](const std::string& text) {
            clock.Advance(7000);
            // The capture names its file by the fiscal date of the last status 1 it read.
            if (text.compare(0, 6, "\x1B.271|") == 0 && text.size() > 19)
                std::snprintf(capture::g_capture.fiscalDate.data(), capture::g_capture.fiscalDate.size(), "%s",
                              text.substr(13, 6).c_str());
            EXPECT_EQ(capture::RfdWriteLine(text.c_str()), 1);
        });
        const std::pair<int, const char*> days[] = {{9, "short_day.txt"}, {10, "full_day.txt"}, {11, "short_day.txt"}};
        for (const auto& [day, script] : days) {
            clock.SetDate(2026, 12, day, 8, 0, 0);
            char date[32];
            std::snprintf(date, sizeof date, "\x1B.++CLOCK %02d12260800}", day);
            recorder.Send(date);
            std::vector<sim::ScenarioStep> steps;
            std::string error;
            ASSERT_TRUE(sim::ReadScenario(std::string(MOLDRIN_SIM_SCENARIOS) + "/" + script, &steps, &error)) << error;
            for (const auto& step : steps) recorder.Send(step.frame);
            recorder.Finish();
            char name[64];
            ASSERT_TRUE(capture::RfdFileName(name, sizeof name, day, 12, 2026));
            ASSERT_TRUE(recorded->Exists(name)) << name;
            captures.push_back(name);
        }
        capture::ResetCaptureState();
        capture::g_registration = capture::RegistrationRecord{};
    }

    void SetUp() override { ASSERT_EQ(captures.size(), 3u) << "the days were not recorded"; }

    // A root of its own for a run: the capture files and the registration.
    std::string NewRoot(const std::string& name) {
        const fs::path to = fs::path(root.path()) / name / "c/TALMA/RFD";
        fs::create_directories(to);
        for (const auto& entry : fs::directory_iterator(fs::path(recorded->path()) / "c/TALMA/RFD"))
            if (entry.is_regular_file()) fs::copy_file(entry.path(), to / entry.path().filename());
        return (fs::path(root.path()) / name).string();
    }

    ToolResult Process(const std::string& runRoot, std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
        std::vector<std::string> args{"process"};
        args.insert(args.end(), captures.begin(), captures.end());
        return RunToolAt(tool, args, {"MOLDRIN_ROOT=" + runRoot}, {}, deadline);
    }

    std::map<std::string, std::string> Captures(const std::string& runRoot) {
        std::map<std::string, std::string> out;
        for (const auto& [name, bytes] : Files(fs::path(runRoot) / "c/TALMA/RFD"))
            if (name.rfind("RFD-", 0) == 0) out[name] = bytes;
        return out;
    }

    static inline testing::ScratchRoot* recorded = nullptr;
    static inline std::string tool, keyFile;
    // The capture files, as drive paths: the same arguments serve every root.
    static inline std::vector<std::string> captures;
    testing::ScratchRoot root;
};

TEST_F(ProcessTool, MakesEachDaysSignedFileAndSumsItUp) {
    const std::string runRoot = NewRoot("run");
    const ToolResult r = Process(runRoot);
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    // One fiscal file a day, named by the model, the serial and the day, and its
    // signature holds for the tool's key here too.
    const auto finished = Files(fs::path(runRoot) / kFinished);
    ASSERT_EQ(finished.size(), 3u) << r.out;
    for (const auto& [name, bytes] : finished) {
        const std::string path = (fs::path(runRoot) / kFinished / name).string();
        EXPECT_EQ(sign::VerifyFileWithKey(path.c_str(), keyFile.c_str()), sign::kSignOk) << name;
        EXPECT_NE(r.out.find("  fiscal file: c:\\TALMA\\RFD\\S E F A Z - ArqDigital = [CD] & [Transmitir]\\" + name),
                  std::string::npos)
            << r.out;
    }
    std::size_t verdicts = 0;
    for (std::size_t at = 0; (at = r.out.find("  verify: 0 ", at)) != std::string::npos; ++at) ++verdicts;
    EXPECT_EQ(verdicts, 3u) << r.out;

    // The first day's figures, as its coupons and payments add up.
    const std::size_t first = r.out.find(captures[0]), second = r.out.find(captures[1]);
    ASSERT_LT(first, second);
    const std::string day = r.out.substr(first, second - first);
    for (const char* line : {"  coupons: 4 (1 cancelled), items 8 (1 cancelled), sales R$ 105,47\n",
                             "  documents: LX 1, RZ 1; Z reduction number 000001\n",
                             "  payments: Dinheiro R$ 148,54, Cartao R$ 20,00, Cheque R$ 36,93\n",
                             "  signed: yes (EAD line present)\n"})
        EXPECT_NE(day.find(line), std::string::npos) << line << " in\n" << day;
    EXPECT_NE(day.find("  records: E00 1, E01 1, E02 1, E12 1, E13 "), std::string::npos) << day;
    EXPECT_NE(day.find(", E14 4, E15 8, E16 2, E21 5, EAD 1\n"), std::string::npos) << day;
}

TEST_F(ProcessTool, RefusesWhatItCannotProcess) {
    const std::string runRoot = NewRoot("run");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {{"process"}, 2, "moldrin process: "},
        {{"process", "c:\\TALMA\\RFD\\RFD-01-Janeiro-2026.bin"}, 1, "cannot read c:\\TALMA\\RFD\\RFD-01-Janeiro-2026.bin"},
        {{"process", "c:\\TALMA\\RFD"}, 1, "Is a directory"},
    };
    for (const Case& c : cases) {
        const ToolResult r = RunToolAt(tool, c.args, {"MOLDRIN_ROOT=" + runRoot});
        EXPECT_EQ(r.status, c.status) << c.args.back();
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    // Without the application's registration nothing can be made, and the tool says so.
    fs::remove(fs::path(runRoot) / "c/TALMA/RFD/E00.BIN");
    const ToolResult r = RunToolAt(tool, {"process", captures[0]}, {"MOLDRIN_ROOT=" + runRoot});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(captures[0] + ": no fiscal file made"), std::string::npos) << r.err;
    EXPECT_TRUE(Files(fs::path(runRoot) / kFinished).empty());
}

// A damaged capture file still gives its fiscal file, made from what could be
// read as the library makes it; the tool says how many lines it left out and
// ends with a status of its own, which a failure elsewhere still outranks.
TEST_F(ProcessTool, SaysHowManyDamagedLinesItSkipped) {
    const std::string runRoot = NewRoot("run");
    const fs::path first = fs::path(runRoot) / "c/TALMA/RFD" / captures[0].substr(captures[0].rfind('\\') + 1);
    std::string bytes = ReadHost(first);
    // The middle of the tenth record scrambled, and the last record cut short.
    std::size_t at = 0;
    for (int record = 0; record < 9; ++record) at = bytes.find('\x04', at) + 1;
    ASSERT_LT(at + 16, bytes.find('\x04', at));
    for (std::size_t i = at + 12; i < at + 16; ++i) bytes[i] = bytes[i] == 'Z' ? 'Y' : 'Z';
    bytes.resize(bytes.size() - 2);
    std::ofstream(first, std::ios::binary | std::ios::trunc) << bytes;

    const ToolResult r = RunToolAt(tool, {"process", captures[0], captures[1]}, {"MOLDRIN_ROOT=" + runRoot});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_NE(r.out.find("  damaged lines skipped: 2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(captures[0] + ": 2 damaged lines of the capture file skipped"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(captures[1]), std::string::npos) << "the whole file is not reported: " << r.err;
    const auto finished = Files(fs::path(runRoot) / kFinished);
    ASSERT_EQ(finished.size(), 2u) << r.out;
    for (const auto& [name, content] : finished)
        EXPECT_EQ(sign::VerifyFileWithKey((fs::path(runRoot) / kFinished / name).string().c_str(), keyFile.c_str()),
                  sign::kSignOk)
            << name;

    // A file that cannot be processed at all is the worse news.
    const ToolResult worse =
        RunToolAt(tool, {"process", captures[0], "c:\\TALMA\\RFD\\RFD-01-Janeiro-2026.bin"}, {"MOLDRIN_ROOT=" + runRoot});
    EXPECT_EQ(worse.status, 1) << worse.out << worse.err;
    EXPECT_NE(worse.out.find("  damaged lines skipped: 2\n"), std::string::npos) << worse.out;
}

// A run killed anywhere loses nothing: the capture files stay as they were, and
// running it again gives the very files an undisturbed run gives.
TEST_F(ProcessTool, AKilledRunIsMadeGoodByRunningItAgain) {
    const std::string reference = NewRoot("reference");
    const auto start = std::chrono::steady_clock::now();
    const ToolResult whole = Process(reference);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    ASSERT_EQ(whole.status, 0) << whole.out << whole.err;
    const auto expected = Files(fs::path(reference) / kFinished);
    ASSERT_EQ(expected.size(), 3u);
    const auto captured = Captures(reference);
    ASSERT_EQ(captured.size(), 3u);

    const std::string runRoot = NewRoot("run");
    std::mt19937 rng(20261209);
    // Kill points from the start of the process to a little past a whole run.
    std::uniform_int_distribution<int> delay(0, static_cast<int>(took.count()) * 6 / 5 + 2);
    int killed = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int round = 0; round < 8 && std::chrono::steady_clock::now() < deadline; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // One to three runs killed in a row, each somewhere else.
        const int kills = 1 + round % 3;
        for (int k = 0; k < kills; ++k) {
            killed += Process(runRoot, std::chrono::milliseconds(delay(rng))).timedOut;
            // A fiscal file is there whole or not at all: the next Z reduction takes
            // a day whose file exists for done.
            for (const auto& [name, bytes] : Files(fs::path(runRoot) / kFinished)) {
                auto it = expected.find(name);
                ASSERT_NE(it, expected.end()) << name;
                EXPECT_TRUE(it->second == bytes) << name << " left incomplete";
            }
        }
        EXPECT_EQ(Captures(runRoot), captured) << "a capture file changed";

        const ToolResult again = Process(runRoot);
        ASSERT_EQ(again.status, 0) << again.out << again.err;
        const auto made = Files(fs::path(runRoot) / kFinished);
        ASSERT_EQ(made.size(), expected.size());
        for (const auto& [name, bytes] : expected) {
            auto it = made.find(name);
            ASSERT_NE(it, made.end()) << name;
            EXPECT_TRUE(it->second == bytes) << name << " differs from the undisturbed run's";
        }
        EXPECT_EQ(Captures(runRoot), captured) << "a capture file changed";
    }
    EXPECT_GT(killed, 0) << "no run was cut short; the kill points missed every run";
}

// Two runs at once on one folder (two programs sharing c:\TALMA): each day's
// file holds its own day only, and both runs end well, whatever their order.
TEST_F(ProcessTool, TwoRunsAtOnceOnOneFolderKeepTheirDaysApart) {
    const std::string reference = NewRoot("reference");
    ASSERT_EQ(Process(reference).status, 0);
    const auto expected = Files(fs::path(reference) / kFinished);
    ASSERT_EQ(expected.size(), 3u);

    std::vector<std::string> backwards(captures.rbegin(), captures.rend());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string runRoot = NewRoot("run" + std::to_string(round));
        ToolResult results[2];
        std::thread other([&] {
            std::vector<std::string> args{"process"};
            args.insert(args.end(), backwards.begin(), backwards.end());
            results[1] = RunToolAt(tool, args, {"MOLDRIN_ROOT=" + runRoot});
        });
        results[0] = Process(runRoot);
        other.join();
        for (const ToolResult& r : results) EXPECT_EQ(r.status, 0) << r.out << r.err;
        const auto made = Files(fs::path(runRoot) / kFinished);
        ASSERT_EQ(made.size(), expected.size());
        for (const auto& [name, bytes] : expected) {
            auto it = made.find(name);
            ASSERT_NE(it, made.end()) << name;
            EXPECT_TRUE(it->second == bytes) << name << " holds another day's lines";
            const std::string path = (fs::path(runRoot) / kFinished / name).string();
            EXPECT_EQ(sign::VerifyFileWithKey(path.c_str(), keyFile.c_str()), sign::kSignOk) << name;
        }
        EXPECT_FALSE(fs::exists(fs::path(runRoot) / "c/TALMA/RFD/TALMA.TXT"));
    }
}

// A small disk of its own, mounted for the test (only root may).
class SmallDisk {
public:
    SmallDisk(const std::string& at, const char* size) : at_(at) {
        fs::create_directories(at);
        if (::geteuid() != 0) {
            why_ = "mounting a small tmpfs needs root";
            return;
        }
        const std::string options = std::string("size=") + size;
        if (::mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            why_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
            return;
        }
        mounted_ = true;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }

    // Takes every byte left but about `room`.
    void FillUpTo(std::size_t room) {
        const std::string filler = at_ + "/filler";
        const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        const std::string block(4096, 'x');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        const off_t size = ::lseek(fd, 0, SEEK_END);
        ASSERT_EQ(::ftruncate(fd, size > static_cast<off_t>(room) ? size - static_cast<off_t>(room) : 0), 0);
        ::close(fd);
    }
    void Empty() { fs::remove(at_ + "/filler"); }

private:
    std::string at_, why_;
    bool mounted_ = false;
};

// A disk that fills up while the days are processed again: the run fails and
// says why, no day's file is cut short, and the run after space is back gives
// the right files.
TEST_F(ProcessTool, AFullDiskFailsTheRunAndKeepsEveryDaysFile) {
    const std::string reference = NewRoot("reference");
    ASSERT_EQ(Process(reference).status, 0);
    const auto expected = Files(fs::path(reference) / kFinished);
    ASSERT_EQ(expected.size(), 3u);

    SmallDisk disk(root.path() + "/disk", "2m");
    if (!disk.mounted()) GTEST_SKIP() << disk.why();
    const std::string runRoot = NewRoot("disk");
    ASSERT_EQ(Process(runRoot).status, 0);
    ASSERT_EQ(Files(fs::path(runRoot) / kFinished), expected);

    for (const std::size_t room : {std::size_t{0}, std::size_t{4096}, std::size_t{12288}}) {
        SCOPED_TRACE("room " + std::to_string(room));
        disk.FillUpTo(room);
        const ToolResult full = Process(runRoot);
        EXPECT_NE(full.status, 0) << full.out << full.err;
        EXPECT_NE(full.err.find("ERRO"), std::string::npos) << full.err;
        EXPECT_NE(full.err.find("no fiscal file made"), std::string::npos) << full.err;
        // Every day's file is the whole signed one it was.
        EXPECT_EQ(Files(fs::path(runRoot) / kFinished), expected);
        disk.Empty();
        const ToolResult again = Process(runRoot);
        ASSERT_EQ(again.status, 0) << again.out << again.err;
        EXPECT_EQ(Files(fs::path(runRoot) / kFinished), expected);
    }
}

}  // namespace
}  // namespace moldrin
