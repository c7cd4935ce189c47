// What the fiscal-file tests share: a scratch root, fake clock and recording
// operator, a clean generation state with its item table, status replies taken
// from a simulated printer, and the lines a writer leaves in a file.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <source_location>
#include <string>
#include <vector>

#include "session/session_state.h"
#include "store/capture_state.h"
#include "store/registration.h"
#include "store/rfd_file.h"
#include "store/status_cache.h"
#include "fiscalfile/coupon_tracking.h"
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

// One field of a record: its columns and what they must hold.
struct Field {
    std::size_t from, to;
    std::string expected;
};

// Checks each field of a record line; a failure names the field's columns and
// the caller's line.
inline void ExpectFields(const std::string& line, const std::vector<Field>& fields,
                         std::source_location at = std::source_location::current()) {
    const ::testing::ScopedTrace trace(at.file_name(), static_cast<int>(at.line()), "record checked here");
    for (const auto& f : fields)
        EXPECT_EQ(Col(line, f.from, f.to), f.expected) << "columns " << f.from << "-" << f.to;
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

// The lines of one record type, in order.
inline std::vector<std::string> OfType(const std::vector<std::string>& lines, const char* type) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (l.compare(0, 3, type) == 0) out.push_back(l);
    return out;
}

// What a work file says of the simulator's short day (sim/scenarios/short_day.txt),
// shared by the tests that record that day in different ways.
inline const std::string kHead = "MS030001" + std::string(12, ' ') + "9" + "IF Q-2200I" + std::string(10, ' ');

// Item lines as (columns 59-61 item number, 62-75 code, 176-182 quantity, 183-185 unit,
// 186-193 unit price, 194-201 discount, 210-223 net, 224-230 totalizer, 231 cancelled).
inline std::string ItemOf(const std::string& l) {
    return Col(l, 59, 61) + "|" + Col(l, 62, 75) + "|" + Col(l, 176, 182) + "|" + Col(l, 183, 185) + "|" +
           Col(l, 186, 193) + "|" + Col(l, 194, 201) + "|" + Col(l, 210, 223) + "|" + Col(l, 224, 230) + "|" +
           Col(l, 231, 231);
}
// Coupons as (CCF, COO, subtotal, discount, increase, net, cancelled, adjustment, buyer).
inline std::string CouponOf(const std::string& l) {
    return Col(l, 47, 52) + "|" + Col(l, 53, 58) + "|" + Col(l, 67, 80) + "|" + Col(l, 81, 93) + "|" +
           Col(l, 95, 107) + "|" + Col(l, 109, 122) + "|" + Col(l, 123, 123) + "|" + Col(l, 137, 137) + "|" +
           Col(l, 178, 191);
}
// Payments as (COO, CCF, GNF, name, paid, flag, reversed).
inline std::string PaymentOf(const std::string& l) {
    return Col(l, 47, 52) + "|" + Col(l, 53, 58) + "|" + Col(l, 59, 64) + "|" + Col(l, 65, 79) + "|" +
           Col(l, 80, 92) + "|" + Col(l, 93, 93) + "|" + Col(l, 94, 106);
}

template <class F>
inline std::vector<std::string> Map(const std::vector<std::string>& lines, F f) {
    std::vector<std::string> out;
    for (const auto& l : lines) out.push_back(f(l));
    return out;
}

inline const std::vector<std::string> kShortDayItems = {
    "001|7891234560012 |0002000|un |00002190|00000000|00000000004380|01T1800|N",
    "002|2000123000450 |0000350|Kg |00045900|00000000|00000000001606|03T1200|N",
    "003|7896543210987 |0002000|l  |00000459|00000050|00000000000868|F1     |N",
    "004|0000000000042 |0001000|un |00000350|00000000|00000000000350|I1     |S",
    "001|0000000000100 |0001000|un |00003000|00000000|00000000003000|04S2500|N",
    "002|7890000000011 |0003000|un |00000150|00000000|00000000000045|N1     |N",
    "001|7891111111111 |0002500|m  |00001990|00000000|00000000000497|02T0700|N",
    "001|2000456000000 |0001250|Kg |00000599|00000000|00000000000748|03T1200|N",
};
inline const std::vector<std::string> kShortDayCoupons = {
    "000001|000002|00000000006854|0000000000000|0000000000000|00000000006854|N|D|00012345678909",
    "000002|000003|00000000003045|0000000000100|0000000000000|00000000002945|N|D|00000000000000",
    "000003|000004|00000000000497|0000000000000|0000000000050|00000000000547|S|A|00000000000000",
    "000004|000006|00000000000748|0000000000000|0000000000000|00000000000748|N|D|00000000000000",
};
inline const std::vector<std::string> kShortDayPayments = {
    "000002|000001|000000|Dinheiro       |0000000004854|N|0000000000000",
    "000002|000001|000000|Cartao         |0000000002000|N|0000000000000",
    "000003|000002|000000|Cheque         |0000000002945|N|0000000000000",
    "000005|000003|000001|Dinheiro       |0000000010000|N|0000000000000",  // the till's supply
    "000006|000004|000001|Cheque         |0000000000748|N|0000000000000",
};

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
        ItemRecord& item = ItemSlot(i);  // as the coupon operations take it
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
