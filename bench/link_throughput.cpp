// The software is never the bottleneck of the line: ECFWrite/ECFRead time per byte over the
// virtual line must stay under 5% of a byte at 115,200 bit/s. The printer is the simulator's;
// the link is measured alone (the capture off in a root of the benchmark's own), and a
// command that fails ends the benchmark with a failure instead of a figure.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_root.h"
#include "bench_support.h"
#include "moldrin.h"
#include "sim/sim_device.h"

using namespace moldrin;

namespace {

// 5% of one byte's wire time at 115,200 bit/s (86.8 us): 4.34 us. Also shown
// for the in-process device, which leaves out the line's own system calls.
constexpr double kByteWireUs = 10.0 / 115200.0 * 1e6;  // start, 8 data, stop bits
constexpr double kLimitUs = 0.05 * kByteWireUs;

struct Figure {
    double usPerByte;     // best batch: what the software costs when the machine lets it run
    double medianUs;      // median batch
    double cpuUsPerByte;  // the calling thread's own CPU time, over all batches
    std::size_t bytes;
    int commands;
};

// One command and its reply; any failure ends the benchmark.
void Exchange(const std::string& command, char* reply, std::size_t size) {
    if (ECFWrite(command.c_str()) != 0) bench::BenchRoot::Fail("ECFWrite failed");
    if (ECFRead(reply, static_cast<int>(size)) != 0) bench::BenchRoot::Fail("ECFRead failed");
    // A reply the library made up (".-P002}", ".-P006}") is a failed command too.
    if (reply[0] != '.' || std::strncmp(reply, ".-P", 3) == 0) bench::BenchRoot::Fail("the printer did not answer");
}

// Sends a 1500-character command answered by ten records, in batches; other
// work on a shared machine shows in the median, not in the best batch.
Figure Run(sim::PrinterModel& printer, unsigned logMode, int batches, int perBatch) {
    bench::BenchRoot root(bench::Capture::Off);
    bench::Watchdog("link throughput", 300);
    if (ECFOpen(1, 10, logMode, 0) != 0) bench::BenchRoot::Fail("ECFOpen failed");
    const std::string answer(126 * 9 + 60, 'r');
    printer.EditState([&](sim::PrinterState& s) { s.answers[30] = answer; });
    std::string command = "\x1B.30" + std::string(1495, 'c') + "}";
    const std::size_t replyBytes = sim::PrinterModel::Records(answer, true).size();
    const std::size_t batchBytes = (command.size() + replyBytes) * static_cast<std::size_t>(perBatch);
    char reply[1728];
    // One round first, to leave connection set-up and first-use costs out.
    Exchange(command, reply, sizeof reply);
    std::vector<double> perByte;
    const double c0 = bench::CpuSeconds(RUSAGE_THREAD);
    for (int b = 0; b < batches; ++b) {
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < perBatch; ++i) Exchange(command, reply, sizeof reply);
        auto t1 = std::chrono::steady_clock::now();
        perByte.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() / static_cast<double>(batchBytes));
    }
    const double c1 = bench::CpuSeconds(RUSAGE_THREAD);
    if (ECFClose() != 0) bench::BenchRoot::Fail("ECFClose failed");
    bench::Disarm();
    std::sort(perByte.begin(), perByte.end());
    const std::size_t bytes = batchBytes * static_cast<std::size_t>(batches);
    return {perByte.front(), perByte[perByte.size() / 2], (c1 - c0) * 1e6 / static_cast<double>(bytes), bytes,
            batches * perBatch};
}

void Show(const char* name, const Figure& f) {
    std::printf("%-38s best %6.3f us/byte = %5.2f%% of a byte at 115200 bit/s; median %6.3f; own CPU %6.3f"
                " (%zu bytes, %d commands)\n",
                name, f.usPerByte, 100.0 * f.usPerByte / kByteWireUs, f.medianUs, f.cpuUsPerByte, f.bytes,
                f.commands);
}

}  // namespace

int main(int argc, char** argv) {
    const int batches = argc > 1 ? std::atoi(argv[1]) : 10;
    constexpr int kPerBatch = 20;
    Figure line;
    {
        bench::SimulatedLine simulated;
        line = Run(simulated.printer, 0, batches, kPerBatch);
        Show("virtual serial line, traffic log off", line);
        Figure logged = Run(simulated.printer, 500, batches, kPerBatch);
        Show("virtual serial line, traffic log on", logged);
    }
    {
        auto printer = std::make_shared<sim::PrinterModel>(9600);
        sim::SimulatorOnPort port(printer, 1);
        Show("in-process device, traffic log off", Run(*printer, 0, batches, kPerBatch));
    }
    std::printf("limit: %.2f us/byte (5%% of %.1f us); virtual line: %.3f us/byte, ratio %.2f%%\n", kLimitUs,
                kByteWireUs, line.usPerByte, 100.0 * line.usPerByte / kByteWireUs);
    const bool pass = line.usPerByte < kLimitUs;
    std::printf("%s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
