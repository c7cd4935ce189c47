// A day of sales made with the typed operations against the in-process
// simulator, with the fiscal capture on: the day's fiscal records as the Z
// reduction's fiscal file got them, and the printer's status records at the
// end. A day may lose the reply of any one command on the way.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_day.h"
#include "fiscalfile/final_assembly.h"
#include "fiscalfile/fiscal_fixture.h"
#include "moldrin_ops.h"
#include "ops/operations.h"
#include "support/key_beside_executable.h"

namespace moldrin::ops {

// One typed operation of a day, with what it must give.
struct Step {
    const char* name;
    std::function<int(MoldrinOpsResult*)> run;
};

// The simulator's short day (sim/scenarios/short_day.txt), sold with the typed operations.
inline std::vector<Step> ShortDay() {
    return {
        {"open coupon", [](MoldrinOpsResult* r) { return MoldrinOpenCoupon("12345678909", r); }},
        {"rice", [](MoldrinOpsResult* r) { return MoldrinSellItem("7891234560012", "ARROZ TIPO 1 5KG", 2000, "un", 2190, 2, "T01", r); }},
        {"cheese", [](MoldrinOpsResult* r) { return MoldrinSellItem("2000123000450", "QUEIJO PRATO", 350, "Kg", 45900, 3, "T03", r); }},
        {"milk", [](MoldrinOpsResult* r) { return MoldrinSellItem("7896543210987", "LEITE INTEGRAL 1L", 2000, "l", 459, 2, "F", r); }},
        {"milk discount", [](MoldrinOpsResult* r) { return MoldrinItemDiscount(50, r); }},
        {"newspaper", [](MoldrinOpsResult* r) { return MoldrinSellItem("0000000000042", "JORNAL DO DIA", 1000, "un", 350, 2, "I", r); }},
        {"cancel item 4", [](MoldrinOpsResult* r) { return MoldrinCancelItem(4, r); }},
        {"card", [](MoldrinOpsResult* r) { return MoldrinPay(3, 2000, r); }},
        {"cash", [](MoldrinOpsResult* r) { return MoldrinPay(1, 5000, r); }},
        {"close", [](MoldrinOpsResult* r) { return MoldrinCloseCoupon("OBRIGADO PELA PREFERENCIA", r); }},
        {"haircut", [](MoldrinOpsResult* r) { return MoldrinSellItem("0000000000100", "CORTE DE CABELO", 1000, "un", 3000, 2, "S04", r); }},
        {"bag", [](MoldrinOpsResult* r) { return MoldrinSellItem("7890000000011", "SACOLA RETORNAVEL", 3000, "un", 150, 3, "N", r); }},
        {"subtotal discount", [](MoldrinOpsResult* r) { return MoldrinSubtotalDiscount(100, r); }},
        {"cheque", [](MoldrinOpsResult* r) { return MoldrinPay(2, 2945, r); }},
        {"close 2", [](MoldrinOpsResult* r) { return MoldrinCloseCoupon("", r); }},
        {"tape", [](MoldrinOpsResult* r) { return MoldrinSellItem("7891111111111", "FITA ADESIVA", 2500, "m", 1990, 3, "T02", r); }},
        {"increase", [](MoldrinOpsResult* r) { return MoldrinSubtotalIncrease(50, r); }},
        {"part payment", [](MoldrinOpsResult* r) { return MoldrinPay(1, 200, r); }},
        {"cancel coupon", [](MoldrinOpsResult* r) { return MoldrinCancelCoupon(r); }},
        {"supply", [](MoldrinOpsResult* r) { return MoldrinNonFiscalReceipt(1, 1, 10000, "SUPRIMENTO DE CAIXA", r); }},
        {"bananas", [](MoldrinOpsResult* r) { return MoldrinSellItem("2000456000000", "BANANA PRATA", 1250, "Kg", 599, 2, "T03", r); }},
        {"buyer", [](MoldrinOpsResult* r) { return MoldrinSetBuyer("12345678000199", r); }},
        {"cheque 2", [](MoldrinOpsResult* r) { return MoldrinPay(2, 748, r); }},
        {"close 3", [](MoldrinOpsResult* r) { return MoldrinCloseCoupon("", r); }},
        {"X reading", [](MoldrinOpsResult* r) { return MoldrinXReading(r); }},
        {"Z reduction", [](MoldrinOpsResult* r) { return MoldrinZReduction(r); }},
    };
}

// Frames that change the printer: what the lost-reply fault counts.
inline bool OrdinaryCommand(std::string_view frame) {
    if (frame.size() < 5 || frame[2] < '0' || frame[2] > '9' || frame[3] < '0' || frame[3] > '9') return false;
    const int code = (frame[2] - '0') * 10 + (frame[3] - '0');
    return code != 23 && code != 27 && code != 28 && code != 29;
}

class TypedDay : public capture::CaptureDay {
protected:
    void SetUp() override {
        CaptureDay::SetUp();
        printer->EditState([](sim::PrinterState& s) { s.keepsFiscalDay = true; });
        fresh_ = printer->State();
        workFiles() = {};
        current() = &root;
        fiscalfile::SetAssemblyObserver([](int) { workFiles().push_back(current()->Read(fiscalfile::kWorkFile)); });
        ForgetUndecided();
    }
    void TearDown() override {
        printer->SetResponder(nullptr);
        fiscalfile::SetAssemblyObserver(nullptr);
        current() = nullptr;
        ForgetUndecided();
        CaptureDay::TearDown();
    }

    static std::vector<std::string>& workFiles() {
        static std::vector<std::string> files;
        return files;
    }
    static testing::ScratchRoot*& current() {
        static testing::ScratchRoot* root = nullptr;
        return root;
    }

    // Everything a day leaves: the printer's records and the fiscal records.
    struct Day {
        std::vector<std::string> status;    // the printer's status records after the day
        std::vector<std::string> records;   // E14, E15, E16 and E21 of the day's fiscal file
        std::vector<MoldrinOpsResult> results;
        std::size_t commands = 0;           // ordinary commands the printer was sent
    };

    // Starts from the same printer, files and clock each time. With lostAt,
    // the reply of the printer's lostAt-th ordinary command of the day (from 1)
    // is lost after the command was carried out.
    Day RunDay(const std::vector<Step>& steps, std::size_t lostAt = 0) { return RunDayRegistered(steps, 'B', 0, lostAt); }
    // The same, registered for a model letter and class.
    Day RunDayRegistered(const std::vector<Step>& steps, char modelLetter, int8_t gate, std::size_t lostAt = 0) {
        if (g_session.PortIndex >= 0) ECFClose();
        capture::ResetCaptureState();
        capture::g_capture.pendingStatus1 = false;
        capture::g_capture.savedCommand17[0] = 0;
        testing::ResetLibraryState();
        ForgetUndecided();
        printer->EditState([this](sim::PrinterState& s) { s = *fresh_; });
        printer->SetFaults({});
        clock.SetDate(2026, 12, 9, 10, 20, 30);
        std::filesystem::remove_all(root.Host(capture::kRfdDirectory));
        Register(testing::DemoIdentification(), modelLetter, gate);
        workFiles().clear();

        Day day;
        std::size_t* count = &day.commands;
        auto model = printer.get();
        // A responder of the test's own still sees every frame.
        sim::Responder own = responder_;
        const std::size_t dropAt = dropAt_;
        printer->SetResponder([count, lostAt, dropAt, model, own](std::string_view frame) -> std::optional<std::string> {
            if (own) own(frame);
            if (!OrdinaryCommand(frame)) return std::nullopt;
            if (++*count == lostAt) {
                sim::Faults f;
                f.lostReplies = 1;
                model->SetFaults(f);
            }
            if (*count == dropAt) return std::string();  // neither carried out nor answered
            return std::nullopt;
        });
        Open();
        // A short time-out: the lost reply is waited for on the fake clock.
        EXPECT_EQ(SetTimeoutRead(1), 0);
        for (const Step& step : steps) {
            MoldrinOpsResult r{};
            EXPECT_EQ(step.run(&r), MOLDRIN_OPS_OK) << step.name << ": " << r.reason;
            day.results.push_back(r);
        }
        EXPECT_EQ(ECFClose(), 0);
        printer->SetResponder(nullptr);
        const sim::PrinterState s = printer->State();
        for (char type : std::string("123456789ABCDEFG")) day.status.push_back(sim::Status27Record(s, type));
        day.status.push_back(sim::Status28Record(s));
        // A reduction the printer never took may have had its file made already;
        // the one it took makes it again.
        if (dropAt_ == 0) EXPECT_EQ(workFiles().size(), 1u) << "the Z reduction's fiscal file";
        else EXPECT_GE(workFiles().size(), 1u) << "the Z reduction's fiscal file";
        if (!workFiles().empty())
            for (const auto& l : fiscalfile::SplitLines(workFiles().back())) {
                const std::string type = l.substr(0, 3);
                if (type == "E14" || type == "E15" || type == "E16" || type == "E21") day.records.push_back(l);
            }
        return day;
    }

    testing::KeyBesideExecutable key{root};
    std::optional<sim::PrinterState> fresh_;
    // Sees each frame of a day (its answer is the printer's own).
    sim::Responder responder_;
    // The printer's dropAt_-th ordinary command of a day (from 1) never reaches it:
    // it is neither carried out nor answered.
    std::size_t dropAt_ = 0;
};

}  // namespace moldrin::ops
