// Waiting costs nothing: whole time-outs waited out on a silent printer must cost under
// 1% of a core and end within 20 ms of their deadlines. The printer is the simulator's.
#include <chrono>
#include <cstdio>
#include <functional>

#include "bench_support.h"
#include "moldrin.h"

using namespace moldrin;

namespace {

struct Outcome {
    double wallMs;
    double cpuMs;
};

Outcome Measure(const std::function<void()>& wait) {
    auto t0 = std::chrono::steady_clock::now();
    double c0 = bench::CpuSeconds(RUSAGE_THREAD);
    wait();
    double c1 = bench::CpuSeconds(RUSAGE_THREAD);
    auto t1 = std::chrono::steady_clock::now();
    return {std::chrono::duration<double, std::milli>(t1 - t0).count(), (c1 - c0) * 1000.0};
}

}  // namespace

int main() {
    bench::SimulatedLine line;
    constexpr unsigned kTimeout = 2;
    if (ECFOpen(1, kTimeout, 500, 0) != 0) {
        std::fprintf(stderr, "ECFOpen failed\n");
        return 1;
    }
    struct Scenario {
        const char* name;
        sim::Faults faults;
        bool ctsTest;
        const char* command;
        double deadlineMs;  // what the waits of the link add up to
    };
    sim::Faults silent, dsrLow, ctsLow, trickle;
    silent.silent = true;
    dsrLow.dsrLow = true;
    ctsLow.ctsLow = true;
    // Three bytes, then the rest only after the overall deadline: the record
    // receiver's overall deadline (tested between bytes) ends the wait.
    trickle.pauseAfterBytes = 3;
    trickle.pauseMs = 2500;
    trickle.answerDelayMs = 1000;
    const Scenario scenarios[] = {
        {"silent printer, reply wait", silent, false, "\x1B.30}", kTimeout * 1000.0},
        {"DSR low, transmit wait", dsrLow, false, "\x1B.30}", kTimeout * 1000.0},
        {"CTS low (CTS test on), transmit wait", ctsLow, true, "\x1B.30}", kTimeout * 1000.0},
        {"record cut by a long pause", trickle, false, "\x1B.30}", 3000.0},
    };
    bool ok = true;
    double totalWall = 0, totalCpu = 0;
    std::printf("%-40s %10s %10s %10s %8s\n", "scenario", "wall ms", "deadline", "cpu ms", "cpu %");
    for (const Scenario& s : scenarios) {
        line.printer.SetFaults(s.faults);
        SetTesteCTS(s.ctsTest ? 1 : 0);
        // Let the new modem lines reach the host before the clock starts.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Outcome o = Measure([&] { ECFWrite(s.command); });
        const double late = o.wallMs - s.deadlineMs;
        const double pct = 100.0 * o.cpuMs / o.wallMs;
        std::printf("%-40s %10.1f %10.1f %10.2f %7.3f%%\n", s.name, o.wallMs, s.deadlineMs, o.cpuMs, pct);
        ok = ok && late >= -1.0 && late <= 20.0;
        totalWall += o.wallMs;
        totalCpu += o.cpuMs;
        line.printer.SetFaults({});
        line.printer.DropOutput();
    }
    SetTesteCTS(0);
    ECFClose();
    const double ratio = totalCpu / totalWall;
    std::printf("waiting: %.2f ms of CPU over %.0f ms of wall time = %.3f%% of one core (limit 1%%)\n", totalCpu,
                totalWall, 100.0 * ratio);
    std::printf("deadlines: %s (each within 20 ms)\n", ok ? "held" : "MISSED");
    const bool pass = ok && ratio < 0.01;
    std::printf("%s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
