// Replaying a busy store's day must never keep the point of sale waiting: 2,000
// coupons of 8 items, with the capture's status traffic, replay into the work
// file in under 0.5 s, and the time grows linearly with the file.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "session/session_state.h"
#include "store/capture_state.h"
#include "store/registration.h"
#include "store/rfd_codec.h"
#include "fiscalfile/final_assembly.h"
#include "fiscalfile/fiscal_state.h"
#include "fiscalfile/processing.h"
#include "log/file_helpers.h"
#include "platform/operator.h"
#include "sim/printer_model.h"
#include "support/capture_recorder.h"
#include "support/demo_identification.h"

using namespace moldrin;

namespace {

constexpr double kLimitSeconds = 0.5;

class QuietOperator final : public platform::Operator {
public:
    void InfoBox(const char*) override {}
    int QuestionBox(const char*) override { return 1; }
    int MessageBox(const char* text, const char*, unsigned) override {
        std::fprintf(stderr, "box: %s\n", text);
        return MOLDRIN_ID_OK;
    }
    int Identify(const char*, MoldrinIdentification& f) override {
        f = testing::DemoIdentification();
        return 1;
    }
};

// A day of `coupons` coupons of eight items as the capture records it; returns
// the number of records and writes the capture file.
std::size_t MakeDay(const char* path, int coupons, std::size_t* bytes) {
    sim::PrinterModel printer;
    std::string file;
    std::size_t records = 0;
    int ms = 0;
    testing::CaptureRecorder recorder(printer, [&](const std::string& text) {
        ms += 3;
        const int day = 9, minute = 1 + ms / 60000 % 59, second = 1 + ms / 1000 % 59, milli = ms % 1000;
        const uint32_t seed = static_cast<uint32_t>(milli * second * minute * day);
        char stamp[48];
        std::snprintf(stamp, sizeof stamp, "%02d/12/2026 10:%02d:%02d.%03d <%04X> = ", day, minute, second, milli,
                      capture::RfdLineChecksum(text.c_str(), seed));
        const std::string line = stamp + text + "\r\n";
        char record[capture::kRfdRecordBuffer];
        const int n = capture::RfdEncodeRecord({record, sizeof record}, line.c_str());
        if (n > 0) file.append(record, static_cast<std::size_t>(n)), ++records;
    });
    const std::string item = "\x1B.0178912345600120002000000002190000000004380ARROZ TIPO 1 5KG        T01}";
    for (int c = 0; c < coupons; ++c) {
        for (int i = 0; i < 8; ++i) recorder.Send(item);
        recorder.Send("\x1B.1001000000035040}");
        recorder.Send("\x1B.06}");
    }
    recorder.Finish();
    const log::FileHandle h = log::FileRecreate(path);
    log::FileWrite(h, file.data(), static_cast<uint32_t>(file.size()));
    log::FileClose(h);
    *bytes = file.size();
    return records;
}

using Clock = std::chrono::steady_clock;

// When the replay handed its work file over, its lines, and when they were
// counted: the assembly that follows is timed on its own.
Clock::time_point g_replayed, g_counted;
std::size_t g_workLines = 0;

void CountWorkLines(int) {
    g_replayed = Clock::now();
    g_workLines = 0;
    const log::FileHandle h = log::FileOpenRead(fiscalfile::kWorkFile);
    char buffer[65536];
    int32_t n;
    while ((n = log::FileReadBlock(h, buffer, sizeof buffer)) > 0)
        for (int32_t i = 0; i < n; ++i) g_workLines += buffer[i] == '\n';
    log::FileClose(h);
    g_counted = Clock::now();
}

struct Figure {
    double seconds, assembly;
    std::size_t records, bytes, lines;
};

Figure Replay(int coupons) {
    const char* path = "c:\\TALMA\\RFD\\RFD-09-Dezembro-2026.bin";
    Figure f{};
    f.records = MakeDay(path, coupons, &f.bytes);
    double best = 1e9, bestAssembly = 1e9;
    for (int run = 0; run < 3; ++run) {
        const auto t0 = Clock::now();
        if (fiscalfile::ProcessRfdFile(path) != 1) {
            std::fprintf(stderr, "ProcessRfdFile failed\n");
            std::exit(1);
        }
        const auto t1 = Clock::now();
        best = std::min(best, std::chrono::duration<double>(g_replayed - t0).count());
        bestAssembly = std::min(bestAssembly, std::chrono::duration<double>(t1 - g_counted).count());
    }
    f.seconds = best;
    f.assembly = bestAssembly;
    f.lines = g_workLines;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const int coupons = argc > 1 ? std::atoi(argv[1]) : 2000;
    char dir[] = "/tmp/moldrin-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    setenv("MOLDRIN_ROOT", dir, 1);
    QuietOperator quiet;
    platform::SetOperator(&quiet);
    fiscalfile::SetAssemblyObserver(CountWorkLines);
    capture::g_capture.ModelLetter = 'B';
    g_session.ModelGate = 0;
    if (capture::EnsureRegistration(0) == 0) return 1;

    const Figure empty = Replay(0);
    const Figure quarter = Replay(coupons / 4);
    const Figure full = Replay(coupons);
    auto show = [](const char* name, int n, const Figure& f) {
        std::printf("%-22s %5d coupons: %7zu records, %9zu bytes -> %6zu work lines in %.3f s: "
                    "%9.0f records/s, %6.1f MB/s; final file assembled in %.3f s\n",
                    name, n, f.records, f.bytes, f.lines, f.seconds, f.records / f.seconds,
                    f.bytes / f.seconds / 1e6, f.assembly);
    };
    show("quarter day", coupons / 4, quarter);
    show("busy day", coupons, full);
    // The fixed cost (creating the work file waits 100 ms) is left out of the growth.
    const double growth =
        ((full.seconds - empty.seconds) / full.records) / ((quarter.seconds - empty.seconds) / quarter.records);
    std::printf("fixed cost %.3f s; time per record beyond it, full / quarter: %.2f (1.00 = linear)\n",
                empty.seconds, growth);
    std::printf("busy day under %.1f s: %s\n", kLimitSeconds, full.seconds < kLimitSeconds ? "yes" : "NO");
    std::string cmd = std::string("rm -rf '") + dir + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "left %s behind\n", dir);
    platform::SetOperator(nullptr);
    return full.seconds < kLimitSeconds ? 0 : 2;
}
