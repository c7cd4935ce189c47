// Threads that use one session at once, the way careless applications do: a
// reopen beside commands, opens and closes on two threads, the fast writer
// beside commands and closes, and the unload beside a command. Run for a short
// while each (longer under the ThreadSanitizer stage); what they check is that
// nothing crashes, nothing hangs, every result is one the calls may give, and
// the session still works.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "api/session.h"
#include "session/session_state.h"
#include "log/text.h"
#include "moldrin.h"
#include "support/log_reader.h"
#include "support/simulator_on_com1.h"

namespace moldrin::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// How long each scenario runs: MOLDRIN_STRESS_MS, else a short while.
milliseconds StressTime() {
    const char* v = std::getenv("MOLDRIN_STRESS_MS");
    return milliseconds(v && *v ? std::atoi(v) : 1000);
}

bool Before(steady_clock::time_point end) { return steady_clock::now() < end; }

// The simulator on COM1; it never answers "\x1B.30}", so that command holds
// the API lock for the read time-out. The capture stays off: the session and
// port layers are under test here, and the capture's own storm is its stress
// test's (its full refreshes, with 15-second waits per query, would turn every
// garbled exchange into a long wait).
class SharedSession : public SimulatorOnCom1 {
protected:
    void SetUp() override {
        LeaveUnanswered("\x1B.30}");
        Serve();
    }
    // A session that works after the storm: a status record comes back whole.
    void ExpectAWorkingSession() {
        ECFClose();
        ASSERT_EQ(ECFOpen(1, 1, 500, 0), 0);
        char reply[1728] = {};
        EXPECT_EQ(ECFWrite("\x1B.271}"), 0);
        ASSERT_EQ(ECFRead(reply, sizeof reply), 0);
        EXPECT_EQ(std::string(reply).size(), 128u) << reply;
        EXPECT_EQ(ECFClose(), 0);
    }
};

// One thread sends commands while another closes and reopens the session: a
// call that waited for a session since closed fails quietly, none touches a
// port that was closed under it.
TEST_F(SharedSession, ReopeningWhileAnotherThreadSendsCommands) {
    ASSERT_EQ(ECFOpen(1, 1, 500, 0), 0);
    const auto end = steady_clock::now() + StressTime();
    std::atomic<int> odd{0}, commands{0};
    std::thread sender([&] {
        char reply[1728];
        while (Before(end)) {
            int w = ECFWrite("\x1B.271}");
            int r = ECFRead(reply, sizeof reply);
            if ((w != 0 && w != -1) || (r != 0 && r != -1)) ++odd;
            ++commands;
        }
    });
    int reopened = 0;
    while (Before(end)) {
        ECFClose();
        if (ECFOpen(1, 1, 500, 0) == 0) ++reopened;
        std::this_thread::sleep_for(milliseconds(5));
    }
    sender.join();
    EXPECT_EQ(odd, 0);
    EXPECT_GT(reopened, 0);
    EXPECT_GT(commands, 0);
    ExpectAWorkingSession();
}

// Two threads open and close the one session at once: each transition waits
// its turn (or gives up after its deadline), every result is 0 or -1, and no
// session is left half open or half closed.
TEST_F(SharedSession, TwoThreadsOpeningAndClosingAtOnce) {
    const auto end = steady_clock::now() + StressTime();
    std::atomic<int> odd{0}, opened{0};
    auto cycle = [&] {
        while (Before(end)) {
            const int o = ECFOpen(1, 1, 500, 0);
            const int c = ECFClose();
            if ((o != 0 && o != -1) || (c != 0 && c != -1)) ++odd;
            if (o == 0) ++opened;
        }
    };
    std::thread other(cycle);
    cycle();
    other.join();
    EXPECT_EQ(odd, 0);
    EXPECT_GT(opened, 0);
    ExpectAWorkingSession();
}

// The fast writer takes no lock: its bytes may mix with a command's on the
// line, but the port it writes to is never one freed by a close beside it.
TEST_F(SharedSession, FastWritesBesideCommandsAndCloses) {
    ASSERT_EQ(ECFOpen(1, 1, 500, 0), 0);
    const auto end = steady_clock::now() + StressTime();
    std::atomic<int> odd{0};
    std::thread fast([&] {
        const char block[] = "\x02*34|I32\x03\x1B.}";
        while (Before(end)) {
            int n = ECFTxFast("\x1B.28}", 0);
            if (n < 0 || n > 4) ++odd;
            n = ECFTxFast(block, sizeof block - 1);
            if (n < -1 || n > static_cast<int>(sizeof block - 1)) ++odd;
        }
    });
    while (Before(end)) {
        for (int i = 0; i < 3; ++i) ECFWrite("\x1B.271}");
        ECFClose();
        ECFOpen(1, 1, 500, 0);
    }
    fast.join();
    EXPECT_EQ(odd, 0);
    ExpectAWorkingSession();
}

// The unload while another thread waits inside a command for a printer that
// does not answer: the command gives up at once, the session is closed (and
// logged) well within the read time-out, and later calls fail quietly.
TEST_F(SharedSession, UnloadWhileAnotherThreadIsInsideACommand) {
    const auto end = steady_clock::now() + StressTime();
    while (Before(end)) {
        ASSERT_EQ(ECFOpen(1, 1, 500, 0), 0);
        std::atomic<bool> inside{false};
        std::thread writer([&] {
            for (;;) {
                inside = true;
                if (ECFWrite("\x1B.30}") == -1 && g_session.Unloading.load()) return;
            }
        });
        while (!inside) std::this_thread::sleep_for(milliseconds(1));
        std::this_thread::sleep_for(milliseconds(20));
        const auto start = steady_clock::now();
        api::ProcessDetach();
        EXPECT_LT(steady_clock::now() - start, milliseconds(900));
        writer.join();
        EXPECT_EQ(g_session.PortIndex.load(), -1);
        EXPECT_EQ(ECFWrite("\x1B.271}"), -1);
        EXPECT_EQ(ECFOpen(1, 1, 500, 0), -1) << "no new session while unloading";
        g_session.Unloading = 0;
    }
    auto lines = AllLogLines(root_);
    EXPECT_NE(std::find(lines.begin(), lines.end(), std::string(CP1252("Executando a função ECFClose()"))),
              lines.end());
    ExpectAWorkingSession();
}

}  // namespace
}  // namespace moldrin::testing
