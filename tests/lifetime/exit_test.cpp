// A session the program leaves open is closed by the library's unload, in
// real child processes that end in the ways programs do: it logs the close,
// the process keeps its own exit status, and it ends in time without a signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "api/session.h"
#include "moldrin.h"
#include "platform/files.h"
#include "session/session_state.h"
#include "store/capture_state.h"
#include "store/registration.h"
#include "store/rfd_file.h"
#include "capture/triggers.h"
#include "log/text.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "support/demo_identification.h"
#include "support/log_reader.h"
#include "support/simulator_on_com1.h"

extern char** environ;

namespace moldrin::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

struct Ending {
    bool exited = false;
    int status = -1;    // exit status, when exited
    int signal = 0;     // the signal that ended it, if one did
    long elapsedMs = 0;
};

// Runs the child to its end; one that outlives killAfterMs is killed (and reported so).
Ending RunChild(const char* mode, long killAfterMs) {
    char* argv[] = {const_cast<char*>(MOLDRIN_EXIT_CHILD), const_cast<char*>(MOLDRIN_SHARED_LIBRARY),
                    const_cast<char*>(mode), nullptr};
    Ending e;
    const auto start = steady_clock::now();
    pid_t pid = 0;
    // The library keeps its process-wide objects for ever, so that no exit handler
    // destroys what the unload still uses; once the library is unloaded they are
    // unreachable, which a leak checker reports. That is the design, not a leak.
    std::vector<std::string> env;
    for (char** v = environ; *v; ++v)
        if (std::strncmp(*v, "ASAN_OPTIONS=", 13) != 0) env.emplace_back(*v);
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string asanOptions = std::string("ASAN_OPTIONS=") + (asan ? asan : "");
    // A program that ends while another thread is still at work is not checked
    // for leaks either: the checker stops every thread at the exit, and now and
    // then faults on one caught in the middle of its work (its own crash, not the
    // program's); these children are about how the program ends.
    const bool threadAtWork = std::strcmp(mode, "thread") == 0 || std::strcmp(mode, "worker") == 0 ||
                              std::strcmp(mode, "generation") == 0;
    if (std::strcmp(mode, "dlclose") == 0 || threadAtWork) asanOptions += ":detect_leaks=0";
    env.push_back(asanOptions);
    std::vector<char*> envp;
    for (std::string& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid, MOLDRIN_EXIT_CHILD, nullptr, nullptr, argv, envp.data()) != 0) return e;
    int wstatus = 0;
    for (;;) {
        pid_t r = waitpid(pid, &wstatus, WNOHANG);
        if (r == pid) break;
        if (std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count() > killAfterMs) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            break;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    e.elapsedMs = static_cast<long>(std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count());
    e.exited = WIFEXITED(wstatus);
    if (e.exited) e.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) e.signal = WTERMSIG(wstatus);
    return e;
}

// The simulator on COM1; it answers nothing to "\x1B.30}", so a write of it
// waits out the time-out. The child's session keeps its capture, as a program's does.
class ExitingChild : public SimulatorOnCom1, public ::testing::WithParamInterface<std::pair<const char*, int>> {
protected:
    ExitingChild() : SimulatorOnCom1(Capture::On) {}
    void SetUp() override {
        LeaveUnanswered("\x1B.30}");
        Serve();
    }
};

TEST_P(ExitingChild, TheUnloadClosesTheSessionAndTheProcessKeepsItsStatus) {
    const auto [mode, status] = GetParam();
    // The session's read time-out is 1 s; the close must not wait for much more.
    Ending e = RunChild(mode, 20000);
    EXPECT_EQ(e.signal, 0) << mode;
    ASSERT_TRUE(e.exited) << mode;
    EXPECT_EQ(e.status, status) << mode;
    EXPECT_LT(e.elapsedMs, 4000) << mode;

    auto lines = AllLogLines(root_);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(CP1252("Executando a função ECFClose()"))), 1)
        << mode;
    EXPECT_EQ(printer_.Frames().front(), "\x1B.28}");
}

INSTANTIATE_TEST_SUITE_P(Endings, ExitingChild,
                         ::testing::Values(std::make_pair("return", 3),   // main returns, session open
                                           std::make_pair("atexit", 4),   // ECFClose from an exit handler
                                           std::make_pair("dlclose", 5),  // the library unloaded, then exit
                                           std::make_pair("thread", 6)),  // another thread inside ECFWrite
                         [](const auto& info) { return std::string(info.param.first); });

}  // namespace
}  // namespace moldrin::testing

namespace moldrin::testing {
namespace {

// The program ends while the capture is at work on another thread: the
// worker in a long pass (the printer holds its query), or the day's fiscal
// file being made after a Z reduction. The unload waits for what touches the
// session it closes: the process ends in time, without a signal, with its own
// status, having closed the session once; and a day whose file was being made
// has it, or has it made by the next session.
class CaptureAtWork : public SimulatorOnCom1 {
protected:
    CaptureAtWork() : SimulatorOnCom1(Capture::On) {}
    void SetUp() override {
        capture::ResetCaptureState();
        capture::g_registration = capture::RegistrationRecord{};
        capture::TakeIdentification(DemoIdentification());
        ASSERT_EQ(capture::WriteRegistrationFile('B', 0), 1);
        capture::g_registration = capture::RegistrationRecord{};
    }
    void TearDown() override { capture::ResetCaptureState(); }

    void ExpectAnOrderlyEnd(const Ending& e, int status) {
        EXPECT_EQ(e.signal, 0);
        ASSERT_TRUE(e.exited);
        EXPECT_EQ(e.status, status);
        auto lines = AllLogLines(root_);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(CP1252("Executando a função ECFClose()"))), 1);
    }
};

TEST_F(CaptureAtWork, TheProgramEndsWhileTheWorkerIsInALongPass) {
    std::atomic<bool> commandSeen{false}, held{false};
    printer_.SetResponder([&](std::string_view frame) -> std::optional<std::string> {
        if (frame == "\x1B.13STEXTO}") commandSeen = true;
        if (frame == "\x1B.28}" && commandSeen) {
            held = true;
            return std::string();  // the worker waits out its attempts
        }
        return std::nullopt;
    });
    Serve();
    const Ending e = RunChild("worker", 60000);
    EXPECT_TRUE(held) << "the worker never asked";
    ExpectAnOrderlyEnd(e, 7);
    EXPECT_LT(e.elapsedMs, 6000);
}

TEST_F(CaptureAtWork, TheProgramEndsWhileTheDaysFileIsBeingMade) {
    // An earlier day's capture file without its fiscal file, large enough
    // that its processing is still under way when the program ends.
    const platform::LocalTime now = platform::Now();
    const capture::CalendarDay yesterday = capture::DayBefore({now.day, now.month, now.year});
    char name[64];
    ASSERT_TRUE(capture::RfdFileName(name, sizeof name, yesterday.day, yesterday.month, yesterday.year));
    std::string junk(40u << 20, '\0');
    uint32_t x = 12345;
    for (char& c : junk) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    root_.Write(name, junk);
    Serve();
    const Ending e = RunChild("generation", 120000);
    ExpectAnOrderlyEnd(e, 8);
    // The closing's own day is done, or left noted for the next session.
    bool made = false;
    for (const auto& entry : std::filesystem::directory_iterator(
             root_.Host("c:\\TALMA\\RFD\\S E F A Z - ArqDigital = [CD] & [Transmitir]"), std::filesystem::directory_options{}))
        made = made || entry.is_regular_file();
    EXPECT_TRUE(made || root_.Exists("c:\\TALMA\\RFD\\FECHAMENTO.PEN"));
}

// The real file system, but the first open of the day's work file waits until
// the test lets it go: a generation held inside the capture as long as needed.
class WorkFileHeld final : public platform::FileSystem {
public:
    WorkFileHeld() { platform::SetFileSystem(this); }
    ~WorkFileHeld() override {
        Release();
        platform::SetFileSystem(nullptr);
    }
    bool WaitHeld(milliseconds bound) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, bound, [&] { return held_; });
    }
    void Release() {
        std::lock_guard lock(m_);
        released_ = true;
        cv_.notify_all();
    }

    platform::FileHandle Open(const char* p, unsigned a, unsigned s, platform::FileCreation c) override {
        if (p && std::strstr(p, "TALMA.TMP")) {
            std::unique_lock lock(m_);
            held_ = true;
            cv_.notify_all();
            cv_.wait(lock, [&] { return released_; });
        }
        return Real().Open(p, a, s, c);
    }
    bool Close(platform::FileHandle h) override { return Real().Close(h); }
    bool Read(platform::FileHandle h, void* b, uint32_t n, uint32_t* d) override { return Real().Read(h, b, n, d); }
    bool Write(platform::FileHandle h, const void* b, uint32_t n, uint32_t* d) override {
        return Real().Write(h, b, n, d);
    }
    bool Flush(platform::FileHandle h) override { return Real().Flush(h); }
    int64_t Seek(platform::FileHandle h, int64_t o, int w) override { return Real().Seek(h, o, w); }
    int64_t Size(platform::FileHandle h) override { return Real().Size(h); }
    bool Truncate(platform::FileHandle h, int64_t size) override { return Real().Truncate(h, size); }
    std::optional<platform::LocalTime> CreationTime(platform::FileHandle h) override { return Real().CreationTime(h); }
    bool Delete(const char* p) override { return Real().Delete(p); }
    bool Rename(const char* f, const char* t) override { return Real().Rename(f, t); }
    bool CreateDirectory(const char* p) override { return Real().CreateDirectory(p); }
    bool IsDirectory(const char* p) override { return Real().IsDirectory(p); }
    bool Exists(const char* p) override { return Real().Exists(p); }
    bool TryLock(platform::FileHandle h) override { return Real().TryLock(h); }

private:
    static platform::FileSystem& Real() { return platform::SystemFileSystem(); }
    std::mutex m_;
    std::condition_variable cv_;
    bool held_ = false, released_ = false;
};

// The system's clock, but the capture's minute-long wait for its lock (waits
// of 15 s and more, short of for ever) lasts a second: what it hid shows at once.
class ShortCaptureWaits final : public platform::Clock {
public:
    ShortCaptureWaits() : real_(platform::GetClock()) { platform::SetClock(this); }
    ~ShortCaptureWaits() override { platform::SetClock(nullptr); }
    uint32_t TickMs() override { return real_.TickMs(); }
    platform::LocalTime Now() override { return real_.Now(); }
    void Sleep(uint32_t ms) override { real_.Sleep(ms); }
    void WaitDevice(platform::SerialDevice& device, uint32_t ms) override { real_.WaitDevice(device, ms); }
    platform::WaitResult WaitSemaphore(platform::SemaphoreHandle h, uint32_t ms) override {
        return real_.WaitSemaphore(h, ms >= 15000 && ms != platform::kWaitForever ? 250 : ms);
    }

private:
    platform::Clock& real_;
};

// In one process, so that the generation can be held for as long as the test
// wants: the unload outwaits its first wait for the lock (a read time-out and
// a little more) and still closes nothing under the day's file being made;
// once the generation is done, it closes the session once.
TEST_F(CaptureAtWork, UnloadDoesNotCloseTheSessionUnderAGenerationHeldPastItsLockWait) {
    Serve();
    ASSERT_EQ(ECFOpen(1, 1, 500, 0), 0);
    ASSERT_EQ(ECFWrite(const_cast<char*>("\x1B.271}")), 0);
    const ShortCaptureWaits quick;
    WorkFileHeld files;
    std::atomic<int> closing{99};
    std::thread pos([&] { closing = ECFWrite(const_cast<char*>("\x1B.14}")); });
    ASSERT_TRUE(files.WaitHeld(milliseconds(20000))) << "the closing never made its day's file";

    std::atomic<bool> unloaded{false};
    std::thread unload([&] {
        api::ProcessDetach();
        unloaded = true;
    });
    // Past the unload's wait for the lock (1 s read time-out and its grace) and
    // the capture's own, with room to spare; an unload that closes under the
    // generation has closed the port by then.
    const auto until = steady_clock::now() + milliseconds(6000);
    while (!unloaded && g_session.PortIndex >= 0 && steady_clock::now() < until)
        std::this_thread::sleep_for(milliseconds(10));
    EXPECT_FALSE(unloaded) << "the unload returned while the generation was held";
    EXPECT_EQ(g_session.PortIndex, 0) << "the session was closed under the running generation";
    EXPECT_NE(g_session.ApiSemaphore.load(), 0u);

    files.Release();
    pos.join();
    unload.join();
    EXPECT_EQ(closing.load(), 0);
    EXPECT_EQ(g_session.PortIndex, -1);
    auto lines = AllLogLines(root_);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(CP1252("Executando a função ECFClose()"))), 1);
    bool made = false;
    for (const auto& entry : std::filesystem::directory_iterator(
             root_.Host("c:\\TALMA\\RFD\\S E F A Z - ArqDigital = [CD] & [Transmitir]"), std::filesystem::directory_options{}))
        made = made || entry.is_regular_file();
    EXPECT_TRUE(made) << "the day's fiscal file was not finished";
    EXPECT_FALSE(root_.Exists("c:\\TALMA\\RFD\\TALMA.TMP"));
}

}  // namespace
}  // namespace moldrin::testing
