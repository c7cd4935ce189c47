// The daily closing must never keep the point of sale waiting: from the printer's
// reply to the Z reduction to the end of what the capture then runs (the day's
// fiscal file, signed, and the look at the 31 days before it), on a busy day of
// 2,000 coupons of 8 items with 31 earlier days of capture and fiscal files in
// the folder. Goal: under 0.1 s, time linear in the day's records (the
// quarter-day point on the line through the empty and the busy day), and memory
// that does not grow with the day. Any failed step ends the run non-zero; a
// missed goal is a figure, printed as such.
//
// The time is that of the capture's triggers (ProcessLatestRfd, then
// ProcessPendingDays), which is what the capture runs after the printer has
// answered the Z reduction and before ECFWrite returns; the command's own
// exchange with the printer is not in it.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "store/capture_state.h"
#include "store/registration.h"
#include "store/rfd_codec.h"
#include "store/rfd_file.h"
#include "capture/triggers.h"
#include "fiscalfile/final_assembly.h"
#include "fiscalfile/fiscal_state.h"
#include "fiscalfile/processing.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/operator.h"
#include "session/session_state.h"
#include "sign/ead.h"
#include "sim/printer_model.h"
#include "support/capture_recorder.h"
#include "support/demo_identification.h"
#include "support/key_beside_executable.h"
#include "support/scratch_root.h"

using namespace moldrin;

namespace {

constexpr double kGoalSeconds = 0.1;
constexpr int kEarlierDays = 31;
constexpr int kEarlierCoupons = 40;

// Every box is a failure here: a missing key ("CHAVE NÃO ENCONTRADA") included.
class CountingOperator final : public platform::Operator {
public:
    void InfoBox(const char*) override {}
    int QuestionBox(const char*) override { return 1; }
    int MessageBox(const char* text, const char*, unsigned) override {
        if (!counting) return MOLDRIN_ID_OK;
        std::fprintf(stderr, "box: %s\n", platform::Cp1252ToUtf8(text).c_str());
        ++boxes;
        return MOLDRIN_ID_OK;
    }
    int Identify(const char*, MoldrinIdentification& f) override {
        f = testing::DemoIdentification();
        return 1;
    }
    int boxes = 0;
    // Off while the first registration is written: a fresh folder has none,
    // and says so before the identification dialog.
    bool counting = false;
};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "bench_fiscal_replay: %s\n", what);
    std::exit(1);
}

std::string DateText(const capture::CalendarDay& d) {
    char date[16];
    std::snprintf(date, sizeof date, "%02d%02d%02d", d.day, d.month, d.year % 100);
    return date;
}

// A day of `coupons` coupons of eight items ending in a Z reduction, as the
// capture records it, written record by record to `host`; its record count.
std::size_t MakeDay(const std::string& host, const capture::CalendarDay& d, int coupons) {
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    if (!out) Fail("cannot write a capture file");
    sim::PrinterModel printer;
    std::size_t records = 0;
    int ms = 0;
    testing::CaptureRecorder recorder(printer, [&](const std::string& text) {
        ms += 3;
        const int minute = 1 + ms / 60000 % 59, second = 1 + ms / 1000 % 59, milli = ms % 1000;
        const uint32_t seed = static_cast<uint32_t>(milli * second * minute * d.day);
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%02d/%02d/%04d 10:%02d:%02d.%03d <%04X> = ", d.day, d.month, d.year,
                      minute, second, milli, capture::RfdLineChecksum(text.c_str(), seed));
        const std::string line = stamp + text + "\r\n";
        char record[capture::kRfdRecordBuffer];
        const int n = capture::RfdEncodeRecord({record, sizeof record}, line.c_str());
        if (n <= 0) Fail("a record could not be coded");
        out.write(record, n);
        ++records;
    });
    // The printer's own day is the generated day's: its status replies carry
    // that fiscal date, which names the day's fiscal file.
    const std::string date = DateText(d);
    printer.EditState([&](sim::PrinterState& s) {
        s.fiscalDate = date;
        s.clock = date + "0800";
    });
    const std::string item = "\x1B.0178912345600120002000000002190000000004380ARROZ TIPO 1 5KG        T01}";
    for (int c = 0; c < coupons; ++c) {
        for (int i = 0; i < 8; ++i) recorder.Send(item);
        recorder.Send("\x1B.1001000000035040}");
        recorder.Send("\x1B.06}");
    }
    recorder.Send("\x1B.14}");
    recorder.Finish();
    if (!out.flush()) Fail("cannot write a capture file");
    return records;
}

std::string RfdName(const capture::CalendarDay& d) {
    char name[64];
    if (!capture::RfdFileName(name, sizeof name, d.day, d.month, d.year)) Fail("no capture file name");
    return name;
}


// The peak of the resident set since the last reset, and its reset.
long PeakKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}
long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}
bool ResetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

int g_assemblies = 0;

constexpr int kRounds = 7;

struct Figure {
    std::size_t records = 0, bytes = 0;
    double best = 0, median = 0;        // wall-clock seconds
    double cpuBest = 0, cpuMedian = 0;  // this process's CPU seconds
    long peakRiseKb = 0;                // the greatest of the rounds
};

using Clock = std::chrono::steady_clock;

double CpuNow() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void BestAndMedian(std::vector<double> v, double* best, double* median) {
    std::sort(v.begin(), v.end());
    *best = v.front();
    *median = v[v.size() / 2];
}

// What the capture runs once the printer has answered the Z reduction.
Figure Closing(const testing::ScratchRoot& root, const std::string& prepared, std::size_t records,
               const capture::CalendarDay& today, CountingOperator& op) {
    Figure f;
    f.records = records;
    f.bytes = std::filesystem::file_size(prepared);
    const std::string rfd = RfdName(today);
    const std::string fiscalDate = DateText(today);
    std::vector<double> wall, cpu;
    for (int run = 0; run < kRounds; ++run) {
        std::filesystem::copy_file(prepared, root.Host(rfd.c_str()), std::filesystem::copy_options::overwrite_existing);
        g_assemblies = 0;
        const bool peakKnown = ResetPeak();
        const long before = ResidentKb();
        const double c0 = CpuNow();
        const auto t0 = Clock::now();
        const int latest = capture::ProcessLatestRfd();
        const int pending = capture::ProcessPendingDays(fiscalDate.c_str());
        const auto t1 = Clock::now();
        const double c1 = CpuNow();
        if (!peakKnown || before < 0) Fail("the peak of the resident set cannot be read");
        f.peakRiseKb = std::max(f.peakRiseKb, PeakKb() - before);
        if (latest != 1 || pending != 1) Fail("the closing's processing failed");
        if (g_assemblies != 1) Fail("an earlier day was made again: its fiscal file was not found");
        if (op.boxes != 0) Fail("the closing showed a box");
        const std::string made = fiscalfile::LastFinalFilePath();
        if (made.empty()) Fail("no fiscal file made");
        if (sign::VerifyFileSignature(made.c_str()) != sign::kSignOk) Fail("the fiscal file's signature does not hold");
        wall.push_back(std::chrono::duration<double>(t1 - t0).count());
        cpu.push_back(c1 - c0);
    }
    BestAndMedian(wall, &f.best, &f.median);
    BestAndMedian(cpu, &f.cpuBest, &f.cpuMedian);
    return f;
}

std::string Load() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

}  // namespace

int main(int argc, char** argv) {
    const int coupons = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (coupons < 4) Fail("at least 4 coupons");
    testing::ScratchRoot root;
    testing::KeyBesideExecutable key{root};
    CountingOperator op;
    platform::SetOperator(&op);
    fiscalfile::SetAssemblyObserver([](int) { ++g_assemblies; });
    capture::g_capture.ModelLetter = 'B';
    g_session.ModelGate = 0;
    if (capture::EnsureRegistration(0) == 0) Fail("no registration");
    op.counting = true;
    platform::Files().CreateDirectory(capture::kRfdDirectory);

    const platform::LocalTime now = platform::Now();
    const capture::CalendarDay today{now.day, now.month, now.year};

    // The 31 days before, each with its capture file and its fiscal file.
    capture::CalendarDay d = today;
    for (int i = 0; i < kEarlierDays; ++i) {
        d = capture::DayBefore(d);
        const std::string rfd = RfdName(d);
        MakeDay(root.Host(rfd.c_str()), d, kEarlierCoupons);
        if (fiscalfile::ProcessRfdFile(rfd.c_str()) != 1) Fail("an earlier day's fiscal file could not be made");
        char name[fiscalfile::kFinalNameSize];
        if (!fiscalfile::FinalFileName(name, DateText(d).c_str()) || fiscalfile::LastFinalFilePath() != std::string(name))
            Fail("an earlier day's fiscal file is not under its own day's name");
    }
    if (op.boxes != 0) Fail("making the earlier days showed a box");

    // Today's capture files, made before anything is measured.
    struct Day {
        const char* name;
        int coupons;
        std::string file;
        std::size_t records;
    } days[] = {{"empty day", 0, root.path() + "/empty.bin", 0},
                {"quarter day", coupons / 4, root.path() + "/quarter.bin", 0},
                {"busy day", coupons, root.path() + "/busy.bin", 0}};
    for (Day& day : days) day.records = MakeDay(day.file, today, day.coupons);

    Figure figures[3];
    for (int i = 0; i < 3; ++i) figures[i] = Closing(root, days[i].file, days[i].records, today, op);
    const Figure &empty = figures[0], &quarter = figures[1], &busy = figures[2];

    std::printf("load average while measured: %s (2 cores); %d rounds each, best and median\n", Load().c_str(), kRounds);
    for (int i = 0; i < 3; ++i)
        std::printf("%-12s %5d coupons, %6zu records, %8zu bytes: closing %.4f s (median %.4f), "
                    "CPU %.4f s (median %.4f), peak memory rise %ld kB\n",
                    days[i].name, days[i].coupons, figures[i].records, figures[i].bytes, figures[i].best,
                    figures[i].median, figures[i].cpuBest, figures[i].cpuMedian, figures[i].peakRiseKb);
    // The quarter day against the line through the empty and the busy day.
    auto onLine = [&](double e, double b) {
        return e + (b - e) * static_cast<double>(quarter.records - empty.records) /
                       static_cast<double>(busy.records - empty.records);
    };
    const double time = busy.best / kGoalSeconds, timeMedian = busy.median / kGoalSeconds;
    const double cpu = busy.cpuBest / kGoalSeconds;
    const double linearity = quarter.best / onLine(empty.best, busy.best);
    const double cpuLinearity = quarter.cpuBest / onLine(empty.cpuBest, busy.cpuBest);
    const double memory = static_cast<double>(busy.peakRiseKb) * 1024.0 / static_cast<double>(busy.bytes);
    auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
    std::printf("busy day's closing / goal of %.1f s:             %.2f best, %.2f median (goal below 1.00): %s\n",
                kGoalSeconds, time, timeMedian, verdict(time < 1.0));
    std::printf("busy day's CPU time / goal of %.1f s:            %.2f (the same, without the machine's load)\n",
                kGoalSeconds, cpu);
    std::printf("quarter day / its point on the line:            %.2f wall, %.2f CPU (goal 1.00, linear): %s\n",
                linearity, cpuLinearity, verdict(cpuLinearity > 0.8 && cpuLinearity < 1.2));
    std::printf("busy day's peak memory rise / its capture file: %.3f (%ld kB against %ld kB for the quarter day;\n"
                "                                                goal far below 1, the day is not held): %s\n",
                memory, busy.peakRiseKb, quarter.peakRiseKb,
                verdict(memory < 0.1 && busy.peakRiseKb <= quarter.peakRiseKb + 256));
    std::printf("with %d earlier days of capture and fiscal files in the folder, signed: yes\n", kEarlierDays);
    fiscalfile::SetAssemblyObserver(nullptr);
    platform::SetOperator(nullptr);
    return 0;
}
