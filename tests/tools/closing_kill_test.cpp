// A point-of-sale program killed while the library makes the day's fiscal
// file after its Z reduction: the next session makes the missing file, signed,
// with the movement lines of a day that was never interrupted. Real processes
// all through: the simulator, `moldrin send` playing the day (killed), and
// `moldrin send` again as the next session.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/scratch_root.h"
#include "tool_process.h"

extern char** environ;

namespace moldrin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::RunToolAt;

using testing::kFinished;
using testing::ReadHost;

bool Exists(const fs::path& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
}

// The day's fiscal files in a root's finished folder.
std::vector<fs::path> FiscalFiles(const fs::path& root) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root / kFinished, ec))
        if (e.is_regular_file()) out.push_back(e.path());
    return out;
}

// The movement lines of a fiscal file: coupons, items, documents, payments.
// The simulator's clock is the computer's, so an E16's printer time (columns
// 77 to 90) tells when that run was made, not what the day held: it is left out.
std::vector<std::string> MovementLines(const std::string& bytes) {
    std::vector<std::string> out;
    std::istringstream in(bytes);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, 3, "E16") == 0 && line.size() >= 90) line.replace(76, 14, 14, '.');
        for (const char* type : {"E14", "E15", "E16", "E21"})
            if (line.compare(0, 3, type) == 0) out.push_back(line);
    }
    return out;
}

class ClosingKilled : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        keyRoot = new testing::ScratchRoot;
        tool = testing::ToolWithOwnKey(keyRoot->path());
        ASSERT_FALSE(tool.empty());
    }
    static void TearDownTestSuite() {
        delete keyRoot;
        keyRoot = nullptr;
    }

    // A root of its own for one day, with its simulated printer and the
    // application registered for it.
    struct Day {
        fs::path root;
        std::string line;
        std::unique_ptr<testing::BackgroundTool> sim;
        std::vector<std::string> Env() const { return {"MOLDRIN_ROOT=" + root.string(), "MOLDRIN_COM1=unix:" + line}; }
    };
    Day NewDay(const std::string& name) {
        Day d;
        d.root = fs::path(root.path()) / name;
        fs::create_directories(d.root);
        d.line = (d.root / "line").string();
        d.sim = std::make_unique<testing::BackgroundTool>(std::vector<std::string>{"sim", "--listen", "unix:" + d.line},
                                                          (d.root / "sim.err").string());
        EXPECT_TRUE(testing::WaitForPath(d.line)) << "the simulator did not start";
        const auto r = RunToolAt(tool,
                                 {"register", "--factory", "MS0300019", "--cnpj", "12345678000199", "--ie",
                                  "111222333", "--im", "4455", "--software-house", "Moldrin Demo Software", "--coo",
                                  "1", "--order", "1", "--name", "Caixa Demo", "--version", "1.0", "--program-data",
                                  "frente de loja", "--model", "B", "--gate", "0"},
                                 d.Env());
        EXPECT_EQ(r.status, 0) << r.err;
        return d;
    }

    // Starts `moldrin send` playing the short day, Z reduction last.
    pid_t StartDay(const Day& d) {
        std::vector<std::string> args{tool, "send", "--port", "1", "--timeout", "2", "--script",
                                      std::string(MOLDRIN_SIM_SCENARIOS) + "/short_day.txt"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "MOLDRIN_ROOT=", 13) != 0 && std::strncmp(*e, "MOLDRIN_COM1=", 13) != 0)
                env.emplace_back(*e);
        for (const std::string& add : d.Env()) env.push_back(add);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    // The next session: one status query, through the capture.
    void NextSession(const Day& d) {
        const auto r = RunToolAt(tool, {"send", "--port", "1", "--timeout", "2", "\\e.28}"}, d.Env());
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }

    static inline testing::ScratchRoot* keyRoot = nullptr;
    static inline std::string tool;
    testing::ScratchRoot root;
};

TEST_F(ClosingKilled, TheNextSessionMakesTheDaysFiscalFile) {
    // The day undisturbed: what every interrupted one must come to.
    // Its processing is timed too (from the work file's appearance to the
    // fiscal file's), so that the kills below land inside it however fast
    // this machine is at the moment.
    const fs::path work = "c/TALMA/RFD/TALMA.TMP";
    Day reference = NewDay("reference");
    const pid_t whole = StartDay(reference);
    ASSERT_GT(whole, 0);
    int status = 0;
    bool workSeen = false;
    auto workAt = std::chrono::steady_clock::now(), doneAt = workAt;
    pid_t reaped = 0;
    while ((reaped = waitpid(whole, &status, WNOHANG)) == 0) {
        if (!workSeen && Exists(reference.root / work)) {
            workSeen = true;
            workAt = std::chrono::steady_clock::now();
        }
        if (workSeen && !FiscalFiles(reference.root).empty()) {
            doneAt = std::chrono::steady_clock::now();
            break;
        }
    }
    if (reaped == 0) reaped = waitpid(whole, &status, 0);
    ASSERT_EQ(reaped, whole);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const auto referenceFiles = FiscalFiles(reference.root);
    ASSERT_EQ(referenceFiles.size(), 1u);
    const auto expected = MovementLines(ReadHost(referenceFiles[0]));
    ASSERT_GT(expected.size(), 10u);

    // Killed at moments spread over the processing, from its start on: the
    // work file appears as the generation begins.
    const long processingUs =
        std::max<long>(200, std::chrono::duration_cast<std::chrono::microseconds>(doneAt - workAt).count());
    int cutShort = 0;
    std::vector<long> delaysUs;
    for (int step = 0; step < 12; ++step) delaysUs.push_back(processingUs * step / 12);
    for (long delayUs : delaysUs) {
        SCOPED_TRACE("killed " + std::to_string(delayUs) + " us into the processing");
        Day d = NewDay("killed-" + std::to_string(delayUs));
        const pid_t pid = StartDay(d);
        ASSERT_GT(pid, 0);
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        bool ended = false;
        while (!Exists(d.root / work) && std::chrono::steady_clock::now() < deadline) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                ended = true;
                break;
            }
        }
        if (!ended) {
            std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        if (FiscalFiles(d.root).empty()) ++cutShort;

        NextSession(d);
        const auto files = FiscalFiles(d.root);
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(files[0].filename(), referenceFiles[0].filename());
        const auto verified = RunToolAt(tool, {"verify", files[0].string()}, d.Env());
        EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
        EXPECT_EQ(MovementLines(ReadHost(files[0])), expected);
        EXPECT_FALSE(Exists(d.root / "c/TALMA/RFD/FECHAMENTO.PEN")) << "the closing's note outlived its processing";
    }
    // Some kills must have left the day without its file, or the test proved nothing.
    EXPECT_GE(cutShort, 1) << "no kill landed inside a processing of about " << processingUs << " us";
}

}  // namespace
}  // namespace moldrin
