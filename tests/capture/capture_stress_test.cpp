// Several application threads writing and reading while the capture worker
// refreshes: every command reaches the printer once, every reply is the
// command's own, and the RFD file holds every command and reply whole.
// Meant to run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_day.h"

namespace moldrin::capture {
namespace {

class CaptureStress : public CaptureDay {};

// Command 15 carrying a tag the printer echoes in its reply.
std::string Tagged(int thread, int n) {
    char text[32];
    std::snprintf(text, sizeof text, "\x1B.15T%02dN%03dXXXXX}", thread, n);
    return text;
}

TEST_F(CaptureStress, ThreadsWriteAndReadWhileTheWorkerRefreshes) {
    printer->SetResponder([](std::string_view frame) -> std::optional<std::string> {
        if (frame.substr(0, 4) != "\x1B.15") return std::nullopt;
        return ".+0015" + std::string(frame.substr(4, frame.size() - 5)) + "}";
    });
    Open();
    constexpr int kWriters = 3, kCommands = 20;
    std::mutex pair;  // a write and the read of its reply belong together
    std::atomic<int> failures{0}, reads{0};
    std::atomic<bool> writing{true};

    auto writer = [&](int t) {
        for (int n = 0; n < kCommands; ++n) {
            std::lock_guard lock(pair);
            const std::string command = Tagged(t, n);
            char reply[kBufferSize];
            if (ECFWrite(command.c_str()) != 0 || ECFRead(reply, sizeof reply) != 0 ||
                std::string(reply) != ".+0015" + command.substr(4, command.size() - 5) + "}")
                ++failures;
            // Status queries in between, answered from the cache or the printer.
            if (ECFWrite(n % 2 ? "\x1B.291}" : "\x1B.28}") != 0 || ECFRead(reply, sizeof reply) != 0 ||
                std::string(reply).size() != 128)
                ++failures;
        }
    };
    // A reader that takes whatever reply is there: it must always be whole.
    auto reader = [&] {
        while (writing) {
            char reply[kBufferSize];
            if (ECFRead(reply, sizeof reply) != 0) ++failures;
            const std::string r = reply;
            if (!r.empty() && (r.front() != '.' || r.back() != '}')) ++failures;
            ++reads;
            std::this_thread::yield();
        }
    };

    std::vector<std::thread> threads;
    std::thread readerThread(reader);
    for (int t = 0; t < kWriters; ++t) threads.emplace_back(writer, t);
    for (auto& th : threads) th.join();
    writing = false;
    readerThread.join();
    ASSERT_EQ(ECFClose(), 0);

    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(reads.load(), 0);
    // Each command reached the printer exactly once, and is recorded with its own reply right after it.
    std::map<std::string, int> sent;
    for (auto& f : Frames())
        if (f.compare(0, 4, "\x1B.15") == 0) ++sent[f];
    EXPECT_EQ(sent.size(), static_cast<std::size_t>(kWriters * kCommands));
    for (auto& [frame, count] : sent) EXPECT_EQ(count, 1) << frame;

    const auto recorded = RecordedCommands();
    std::size_t commands = 0;
    for (std::size_t i = 0; i < recorded.size(); ++i) {
        if (recorded[i].compare(0, 4, "\x1B.15") != 0) continue;
        ++commands;
        ASSERT_LT(i + 1, recorded.size());
        const std::string& c = recorded[i];
        EXPECT_EQ(recorded[i + 1], "\x1B.00.+0015" + c.substr(4, c.size() - 5) + "}");
    }
    EXPECT_EQ(commands, static_cast<std::size_t>(kWriters * kCommands));
}

// The fast writer beside the writers and the worker, and beside the close:
// its bytes take the capture's turn, so no reply goes to the wrong command,
// and a close while it writes neither hangs nor frees what it uses.
TEST_F(CaptureStress, FastWritesBesideCommandsTheWorkerAndTheClose) {
    printer->SetResponder([](std::string_view frame) -> std::optional<std::string> {
        // The line feeds go unanswered here: an answer nobody reads would be
        // taken by whichever command came next, whatever the locks.
        if (frame == "\x1B.0893}") return std::string();
        if (frame.substr(0, 4) != "\x1B.15") return std::nullopt;
        return ".+0015" + std::string(frame.substr(4, frame.size() - 5)) + "}";
    });
    Open();
    constexpr int kWriters = 2, kCommands = 15;
    std::mutex pair;
    std::atomic<int> failures{0}, fast{0};
    std::atomic<bool> writing{true};

    auto writer = [&](int t) {
        for (int n = 0; n < kCommands; ++n) {
            std::lock_guard lock(pair);
            const std::string command = Tagged(t, n);
            char reply[kBufferSize];
            if (ECFWrite(command.c_str()) != 0 || ECFRead(reply, sizeof reply) != 0 ||
                std::string(reply) != ".+0015" + command.substr(4, command.size() - 5) + "}") {
                ++failures;
                ADD_FAILURE() << command.substr(1) << " -> " << reply;
            }
        }
    };
    auto fastWriter = [&] {
        for (int n = 0; writing; ++n) {
            const int sent = n % 3 == 0 ? ECFTxFast("\x1B.0893}", 7) : n % 3 == 1 ? ECFTxFast("\x1B.0893}", 0) : ECFswLFs();
            if (sent > 0) ++fast;
            std::this_thread::yield();
        }
    };

    std::thread fastThread(fastWriter);
    std::vector<std::thread> threads;
    for (int t = 0; t < kWriters; ++t) threads.emplace_back(writer, t);
    for (auto& th : threads) th.join();
    // Closed while the fast writer goes on, then opened again beside it.
    EXPECT_EQ(ECFClose(), 0);
    Open();
    std::lock_guard lock(pair);
    char reply[kBufferSize];
    EXPECT_EQ(ECFWrite(SaleItem(10).c_str()), 0);
    EXPECT_EQ(ECFRead(reply, sizeof reply), 0);
    EXPECT_STREQ(reply, ".+0001}");
    writing = false;
    fastThread.join();
    EXPECT_EQ(ECFClose(), 0);

    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(fast.load(), 0);
}

}  // namespace
}  // namespace moldrin::capture
