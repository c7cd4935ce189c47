// A session on COM1 against the in-process printer simulator, on the fake
// clock, with the recording operator and a scratch root, the fiscal capture
// switched off; plus log reading.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "session/session_state.h"
#include "log/text.h"
#include "moldrin.h"
#include "sim/printer_model.h"
#include "sim/sim_device.h"
#include "support/fake_clock.h"
#include "support/library_state.h"
#include "support/recording_operator.h"
#include "support/scratch_root.h"

namespace moldrin::testing {

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetLibraryState();
        // The link is tested on its own: the fiscal capture stays out of the way.
        root.Write("c:\\TALMA\\talma.ini", "");
    }
    void TearDown() override {
        if (g_session.PortIndex >= 0) ECFClose();
        ResetLibraryState();
    }

    // Opens COM1 (the printer at 9600 is found at once) and forgets what the
    // opening logged and sent.
    void Open(unsigned timeout = 10, int dialogs = 0) {
        printer->SetFaults({});
        printer->SetResponder(nullptr);
        ASSERT_EQ(ECFOpen(1, timeout, 500, dialogs), 0);
        MarkLog();
        printer->ClearFrames();
        op.clear();
    }

    // Log lines (texts without the time stamp) written since the last MarkLog.
    std::vector<std::string> Log() {
        std::vector<std::string> all = AllLog();
        return std::vector<std::string>(all.begin() + static_cast<long>(std::min(mark_, all.size())), all.end());
    }
    void MarkLog() { mark_ = AllLog().size(); }
    bool Logged(const std::string& text) {
        for (auto& l : Log())
            if (l == text) return true;
        return false;
    }
    std::string Reply() { return g_session.ReplyBuffer.data(); }

    std::vector<std::string> AllLog() {
        std::string file = root.Read(g_session.LogPath.data());
        std::vector<std::string> lines;
        std::size_t at = file.find("\r\n");
        while (at != std::string::npos) {
            std::size_t next = file.find("\r\n", at + 2);
            std::string line = file.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
            lines.push_back(line.size() >= 23 ? line.substr(23) : line);
            at = next;
        }
        return lines;
    }

    FakeClock clock;
    RecordingOperator op;
    ScratchRoot root;
    std::shared_ptr<sim::PrinterModel> printer = std::make_shared<sim::PrinterModel>(9600);
    sim::SimulatorOnPort port{printer, 1};

private:
    std::size_t mark_ = 0;
};

// A record of exactly 128 bytes: "." + body, blank-filled, "}" at 127.
inline std::string FullRecord(const std::string& body) {
    std::string r = "." + body;
    r.resize(127, ' ');
    return r + "}";
}

}  // namespace moldrin::testing
