// What the fiscal-file tests share: a scratch root, fake clock and recording
// operator, a clean generation state with its item table, status replies taken
// from a simulated printer, and the lines a writer leaves in a file.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "session/session_state.h"
#include "capture/capture_state.h"
#include "capture/registration.h"
#include "capture/rfd_file.h"
#include "capture/status_cache.h"
#include "fiscalfile/fiscal_state.h"
#include "fiscalfile/processing.h"
#include "log/file_helpers.h"
#include "sim/printer_state.h"
#include "support/fake_clock.h"
#include "support/recording_operator.h"
#include "support/scratch_root.h"

namespace moldrin::fiscalfile {

// Columns from..to, 1-based and inclusive, as the record tables count them.
inline std::string Col(const std::string& line, std::size_t from, std::size_t to) {
    return from - 1 < line.size() ? line.substr(from - 1, to - from + 1) : std::string();
}

inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find("\r\n", at);
        if (end == std::string::npos) {
            lines.push_back(text.substr(at));
            break;
        }
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

class FiscalFixture : public ::testing::Test {
protected:
    void SetUp() override {
        capture::ResetCaptureState();
        g_fiscal = FiscalFileState{};
        g_documentCrzText[0] = 0;
        table.reset(new ItemRecord[kItemAllocated]);
        std::memset(static_cast<void*>(table.get()), 0, sizeof(ItemRecord) * kItemAllocated);
        g_fiscal.ItemTable = table.get();
        g_session.ModelGate = 0;
        capture::g_capture.ModelLetter = 'B';
        SetField(g_fiscal.SerialNumber, "12345678A");
        capture::MakeDirectoryPath("c:\\TALMA\\RFD");
    }
    void TearDown() override {
        g_fiscal.ItemTable = nullptr;
        capture::ResetCaptureState();
        g_fiscal = FiscalFileState{};
        g_session.ModelGate = 0;
    }

    // Every status reply the generation reads, as the simulated printer gives them.
    void LoadReplies() {
        for (char type : std::string("123456789ABCDEFG"))
            Store(27, type, sim::Status27Record(printer, type));
        Store(28, '|', sim::Status28Record(printer));
        for (char type : std::string("123456")) Store(29, type, sim::Status29Record(printer, type));
        SetField(capture::g_capture.cache.table29F, sim::Status29Record(printer, 'F'));
        SetField(capture::g_capture.cache.table29HtoL, sim::Status29Record(printer, 'H'));
    }
    static void Store(int family, char type, const std::string& reply) { capture::CacheStore(family, type, reply.c_str()); }

    // The lines a writer leaves in a fresh file, without their "\r\n".
    std::vector<std::string> Lines(const std::function<void(intptr_t)>& write) {
        const char* path = "c:\\TALMA\\RFD\\OUT.TXT";
        const log::FileHandle h = log::FileRecreate(path);
        EXPECT_NE(h, log::kInvalidFile);
        write(h);
        log::FileClose(h);
        raw = root.Read(path);
        return SplitLines(raw);
    }

    // Puts an item into slot i directly.
    void PutItem(std::size_t i, const char* code, const char* quantity, const char* price, const char* total,
                 const char* description, const char* tax, const char* discount, uint8_t status) {
        ItemRecord& item = table[i];
        std::memset(static_cast<void*>(&item), 0, sizeof item);
        std::memcpy(item.code, code, std::min(std::strlen(code), sizeof item.code));
        std::memcpy(item.quantity, quantity, std::min(std::strlen(quantity), sizeof item.quantity));
        std::memcpy(item.unitPrice, price, std::min(std::strlen(price), sizeof item.unitPrice));
        std::memcpy(item.total, total, std::min(std::strlen(total), sizeof item.total));
        std::memset(item.description, ' ', sizeof item.description);
        std::memcpy(item.description, description, std::min(std::strlen(description), sizeof item.description));
        std::memcpy(item.tax, tax, std::min(std::strlen(tax), sizeof item.tax));
        std::memcpy(item.discount, discount, std::min(std::strlen(discount), sizeof item.discount));
        item.status = status;
    }

    testing::ScratchRoot root;
    testing::FakeClock clock;
    testing::RecordingOperator op;
    std::unique_ptr<ItemRecord[]> table;
    sim::PrinterState printer;
    std::string raw;
};

}  // namespace moldrin::fiscalfile
