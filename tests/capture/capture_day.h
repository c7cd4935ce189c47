// A session with the fiscal capture on, against the in-process simulator on
// the fake clock: a registration that matches the simulated printer, the
// frames the printer saw, the day's RFD records decoded, and the capture's
// state looked at under the capture semaphore.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "session/session_state.h"
#include "capture/capture.h"
#include "store/capture_state.h"
#include "store/registration.h"
#include "store/rfd_codec.h"
#include "store/rfd_file.h"
#include "store/rfd_reader.h"
#include "log/file_helpers.h"
#include "moldrin.h"
#include "sim/printer_model.h"
#include "sim/sim_device.h"
#include "support/demo_identification.h"
#include "support/fake_clock.h"
#include "support/library_state.h"
#include "support/recording_operator.h"
#include "support/scratch_root.h"

namespace moldrin::capture {

// A sale item (code 1) with its 12-digit amount at positions 33 to 44.
inline std::string SaleItem(unsigned long long amount, const char* description = "ARROZ 5KG") {
    char text[64];
    std::snprintf(text, sizeof text, "\x1B.01%-29.29s%012llu}", description, amount);
    return text;
}

// The recorded texts of an RFD file, in order (stamp and "\r\n" cut); every
// record must decode and carry a line of the writer's form.
inline std::vector<std::string> RecordedTexts(const char* fileName) {
    std::vector<std::string> texts;
    auto h = log::FileOpenRead(fileName);
    if (h == log::kInvalidFile) return texts;
    std::array<char, kRfdRecordBuffer> record{};
    for (int n = RfdReadRecord(0, h, record.data(), record.size()); n > 0;
         n = RfdReadRecord(1, h, record.data(), record.size())) {
        std::array<char, kRfdLineBuffer> line{};
        const int length = RfdDecodeRecord(line, {record.data(), static_cast<std::size_t>(n)});
        EXPECT_GT(length, 35) << "a record that does not decode";
        if (length <= 35) continue;
        EXPECT_EQ(std::string(line.data() + length - 2), "\r\n");
        texts.emplace_back(line.data() + 33, static_cast<std::size_t>(length) - 35);
    }
    log::FileClose(h);
    return texts;
}

// The simulated printer's grand total when the day starts.
constexpr int64_t kGrandTotal = 500000;

class CaptureDay : public ::testing::Test {
protected:
    void SetUp() override {
        // These tests script the printer's answers themselves; the simulator's own
        // fiscal day is driven through the capture by the scenario tests.
        printer->EditState([](sim::PrinterState& s) {
            s.grandTotal = kGrandTotal;
            s.keepsFiscalDay = false;
        });
        testing::ResetLibraryState();
        ResetCaptureState();
        g_capture.pendingStatus1 = false;
        g_capture.savedCommand17[0] = 0;
        Register();
    }
    void TearDown() override {
        if (g_session.PortIndex >= 0) ECFClose();
        ResetCaptureState();
        g_capture.pendingStatus1 = false;
        testing::ResetLibraryState();
    }

    // Writes E00.BIN for the identification, as the dialog would have.
    void Register(const MoldrinIdentification& id = testing::DemoIdentification(), char modelLetter = 'B',
                  int8_t gate = 0) {
        g_registration = RegistrationRecord{};
        TakeIdentification(id);
        ASSERT_EQ(WriteRegistrationFile(modelLetter, gate), 1);
        g_registration = RegistrationRecord{};
    }
    void Open() {
        ASSERT_EQ(ECFOpen(1, 10, 500, 0), 0);
        printer->ClearFrames();
        op.clear();
    }

    int Write(const std::string& command) { return ECFWrite(command.c_str()); }
    std::string Read() {
        char buffer[kBufferSize];
        EXPECT_EQ(ECFRead(buffer, sizeof buffer), 0);
        return buffer;
    }

    std::vector<std::string> Frames() { return printer->Frames(); }
    std::size_t Count(const std::string& frame) {
        auto f = Frames();
        return static_cast<std::size_t>(std::count(f.begin(), f.end(), frame));
    }
    // The frames that are not status queries: what the application's commands sent.
    std::vector<std::string> CommandFrames() {
        std::vector<std::string> out;
        for (auto& f : Frames())
            if (f.compare(0, 4, "\x1B.27") != 0 && f.compare(0, 4, "\x1B.28") != 0 && f.compare(0, 4, "\x1B.29") != 0)
                out.push_back(f);
        return out;
    }

    // The recorded texts of one day's RFD file.
    std::vector<std::string> Recorded(int day = 9, int month = 12, int year = 2026) {
        char name[64];
        RfdFileName(name, sizeof name, day, month, year);
        return RecordedTexts(name);
    }
    // The recorded texts that are not the capture's own status queries.
    std::vector<std::string> RecordedCommands(int day = 9, int month = 12, int year = 2026) {
        std::vector<std::string> out;
        for (auto& t : Recorded(day, month, year))
            if (t.find('|') == std::string::npos || t.compare(0, 4, "\x1B.00") == 0) out.push_back(t);
        return out;
    }

    // Runs f with the capture semaphore held, so that the worker is not
    // changing what f looks at.
    template <class F>
    void Locked(F f) {
        ASSERT_EQ(CaptureLock(), 0);
        f();
        CaptureUnlock();
    }

    testing::FakeClock clock{{2026, 12, 9, 10, 20, 30, 0, 3}};
    testing::RecordingOperator op;
    testing::ScratchRoot root;
    std::shared_ptr<sim::PrinterModel> printer = std::make_shared<sim::PrinterModel>(9600);
    sim::SimulatorOnPort port{printer, 1};
};

// The frames of a full refresh against the simulator's default printer.
inline const std::vector<std::string>& FullRefreshFrames() {
    static const std::vector<std::string> frames = {
        "\x1B.273}", "\x1B.271}", "\x1B.27G}", "\x1B.28C}", "\x1B.291}", "\x1B.292}", "\x1B.293}",
        "\x1B.294}", "\x1B.295}", "\x1B.296}", "\x1B.29F}", "\x1B.29H}", "\x1B.29I}", "\x1B.27F}",
        "\x1B.28}",  "\x1B.272}", "\x1B.274}", "\x1B.276}", "\x1B.277}", "\x1B.273}"};
    return frames;
}

}  // namespace moldrin::capture
