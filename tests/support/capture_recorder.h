// Drives the in-process simulator as the fiscal capture does and hands each
// text the capture records (commands, their replies, its own status queries
// with theirs, in the capture's order) to a sink. Header-only, so that the
// benchmarks can record days too; until the capture itself records through
// ECFWrite, this is how tests make capture files.
#pragma once
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "sim/printer_model.h"

namespace moldrin::testing {

class CaptureRecorder {
public:
    using Sink = std::function<void(const std::string& text)>;

    CaptureRecorder(sim::PrinterModel& printer, Sink sink) : printer_(printer), sink_(std::move(sink)) {}

    // One command of the application; returns the printer's reply.
    std::string Send(const std::string& frame) {
        const int code = Code(frame);
        if (PassThrough(frame, code) || code < 1 || code > 19) return printer_.Command(frame);

        ReadPending();
        if (state_ == 0 || printerChanged_) RefreshAll();
        if (fiscalDate_ != refreshDate_) RefreshAll();
        if (!status1Current_) Refresh1();
        if (!groupCurrent_ || code == 14) RefreshGroup();
        if (!fCurrent_) Query27('F'), fCurrent_ = true;
        if (gState_ == 0) Query27('G'), gState_ = 1;
        if (stale28_) Query28();

        switch (code) {
            case 1: status1Current_ = false; break;
            case 2: case 3: case 4: case 7: case 10: Query28(); stale28_ = true; break;
            case 5: case 11: fCurrent_ = groupCurrent_ = status1Current_ = false; stale28_ = true; break;
            case 6: case 12: case 14: groupCurrent_ = status1Current_ = false; stale28_ = true; break;
            default: status1Current_ = false; stale28_ = true; break;  // 13, 15 to 19
        }
        const bool recorded = code != 8 && code != 9;
        if (recorded) sink_(code == 12 ? std::string("\x1B.12}") : frame);
        if ((code == 17 || code == 19) && gState_ == 2) Query27('G'), gState_ = 1;

        const std::string reply = printer_.Command(frame);
        if (recorded) sink_("\x1B.00" + reply);
        const bool shortRefusal = reply.size() > 6 && reply[1] == '-' && reply[6] == '}';
        if (code == 14 && reply.size() != 128 && (reply[1] == '+' || shortRefusal)) state_ = 0;  // processing ran
        if (shortRefusal) state_ = 0;
        if (code == 1 && reply.size() > 5 && reply[1] == '+' && reply[5] == '2' && !saved17_.empty()) {
            sink_("\x1B.0900" + saved17_.substr(0, 20) + "}");
            saved17_.clear();
        }
        if (code == 17) {
            saved17_.clear();
            for (std::size_t i = 4; i < frame.size() && saved17_.size() < 20; ++i) {
                const auto c = static_cast<unsigned char>(frame[i]);
                if (c == '}' || c < 0x20 || c >= 0x80) break;
                saved17_ += static_cast<char>(c);
            }
        }
        if (!status1Current_) pending_ = printer_.Command("\x1B.271}");
        return reply;
    }

    // What the capture's worker does once the application falls idle: read the
    // pending status 1 and bring every stale entry back, recording each query.
    void Finish() {
        ReadPending();
        if (state_ != 1) return;
        if (!status1Current_) Refresh1();
        if (!groupCurrent_) RefreshGroup();
        if (!fCurrent_) Query27('F'), fCurrent_ = true;
        if (gState_ == 0) Query27('G'), gState_ = 1;
        if (stale28_) Query28();
    }

private:
    static int Code(const std::string& f) {
        if (f.size() < 4 || f[0] != '\x1B' || f[1] != '.') return -1;
        if (f[2] < '0' || f[2] > '9' || f[3] < '0' || f[3] > '9') return f[2] == '+' && f[3] == '+' ? 100 : 0;
        return (f[2] - '0') * 10 + (f[3] - '0');
    }
    static bool PassThrough(const std::string& f, int code) {
        auto at = [&](std::size_t i) { return i < f.size() ? f[i] : '\0'; };
        auto bar = [&](std::size_t i) { return at(i) == '|' || at(i) == '#'; };
        return code == 100 || code == 8 || (code >= 20 && code <= 26) || ((code == 13 || code == 18) && bar(4)) ||
               (code == 15 && bar(12)) || (code == 16 && bar(16));
    }

    void Record(const std::string& query, const std::string& reply) {
        sink_(query.substr(0, query.size() - 1) + "|" + reply.substr(0, 128));
    }
    std::string Query27(char type) {
        const std::string q = std::string("\x1B.27") + type + "}";
        const std::string r = printer_.Command(q);
        Record(q, r);
        if (type == '1' && r.size() > 12) fiscalDate_ = r.substr(7, 6);
        if (type == '3' && r.size() > 20) {
            // Another printer on the line: the next command starts with a full refresh.
            if (!factory_.empty() && factory_ != r.substr(12, 9)) printerChanged_ = true;
            factory_ = r.substr(12, 9);
        }
        return r;
    }
    std::string Query28() {
        stale28_ = false;
        const std::string r = printer_.Command("\x1B.28}");
        Record("\x1B.28}", r);
        return r;
    }
    std::string Query29(char type) {
        const std::string q = std::string("\x1B.29") + type + "}";
        const std::string r = printer_.Command(q);
        Record(q, r);
        return r;
    }
    void Refresh1() {
        Query27('1');
        status1Current_ = true;
    }
    void ReadPending() {
        if (!pending_) return;
        Record("\x1B.271}", *pending_);
        if (pending_->size() > 12) fiscalDate_ = pending_->substr(7, 6);
        pending_.reset();
        status1Current_ = true;
    }
    void RefreshGroup() {
        Query28();
        const std::string t3 = printer_.Command("\x1B.293}"), t4 = printer_.Command("\x1B.294}"),
                          t5 = printer_.Command("\x1B.295}");
        bool service = false;
        for (int i = 0; i < 4; ++i) service |= t3.size() > 48u + 7 * i && t3[48 + 7 * i] == 'S';
        for (int i = 0; i < 7; ++i) service |= t4.size() > 7u + 7 * i && t4[7 + 7 * i] == 'S';
        for (int i = 0; i < 4; ++i) service |= t5.size() > 7u + 7 * i && t5[7 + 7 * i] == 'S';
        if (service) Query27('2');
        Query27('4');
        if (t4.size() > 41 && t4.substr(35, 7) != std::string(7, ' ')) Query27('5');
        Query27('6');
        Query27('7');
        Query27('3');
        groupCurrent_ = true;
    }
    void RefreshAll() {
        Query27('3');
        Refresh1();
        refreshDate_ = fiscalDate_;
        Query27('G');
        Record("\x1B.28C}", printer_.Command("\x1B.28C}"));
        for (char t : std::string("123456F")) Query29(t);
        for (char t : std::string("HIJKL")) {
            const std::string r = printer_.Command(std::string("\x1B.29") + t + "}");
            Record(std::string("\x1B.29") + t + "}", r);
            if (r.size() > 65 && r.substr(7, 59) == std::string(59, ' ')) break;
        }
        Query27('F');
        fCurrent_ = true;
        RefreshGroup();
        // The first refresh of a session, as after a newly written registration,
        // and the refresh for another printer are followed by the non-fiscal totalizers.
        if (first_ || printerChanged_) {
            for (char t : std::string("89ABCDE")) Query27(t);
            first_ = printerChanged_ = false;
        }
        gState_ = 2;
        state_ = 1;
    }

    sim::PrinterModel& printer_;
    Sink sink_;
    int state_ = 0;
    bool first_ = true;
    bool printerChanged_ = false;
    bool status1Current_ = false, groupCurrent_ = false, fCurrent_ = false, stale28_ = false;
    int gState_ = 0;
    std::optional<std::string> pending_;
    std::string fiscalDate_, refreshDate_, saved17_, factory_;
};

}  // namespace moldrin::testing
