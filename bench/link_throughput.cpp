// The software is never the bottleneck of the line: ECFWrite/ECFRead time per byte over the
// virtual line must stay under 5% of a byte at 115,200 bit/s. The printer is the simulator's.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

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
    double usPerByte;
    double cpuUsPerByte;  // the calling thread's own CPU time
    std::size_t bytes;
    int commands;
};

// Sends a 1500-character command answered by ten records, `rounds` times.
Figure Run(sim::PrinterModel& printer, unsigned logMode, int rounds) {
    if (ECFOpen(1, 10, logMode, 0) != 0) {
        std::fprintf(stderr, "ECFOpen failed\n");
        std::exit(1);
    }
    const std::string answer(126 * 9 + 60, 'r');
    printer.EditState([&](sim::PrinterState& s) { s.answers[30] = answer; });
    std::string command = "\x1B.30" + std::string(1495, 'c') + "}";
    const std::size_t replyBytes = sim::PrinterModel::Records(answer, true).size();
    char reply[1728];
    // One round first, to leave connection set-up and first-use costs out.
    ECFWrite(command.c_str());
    ECFRead(reply, sizeof reply);
    const double c0 = bench::CpuSeconds(RUSAGE_THREAD);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) {
        if (ECFWrite(command.c_str()) != 0) std::fprintf(stderr, "ECFWrite failed\n");
        ECFRead(reply, sizeof reply);
    }
    auto t1 = std::chrono::steady_clock::now();
    const double c1 = bench::CpuSeconds(RUSAGE_THREAD);
    ECFClose();
    const std::size_t bytes = (command.size() + replyBytes) * static_cast<std::size_t>(rounds);
    const double us = std::chrono::duration<double, std::micro>(t1 - t0).count();
    return {us / static_cast<double>(bytes), (c1 - c0) * 1e6 / static_cast<double>(bytes), bytes, rounds};
}

void Show(const char* name, const Figure& f) {
    std::printf("%-40s %7.3f us/byte = %6.2f%% of a byte at 115200 bit/s; own CPU %6.3f us/byte (%zu bytes, %d commands)\n",
                name, f.usPerByte, 100.0 * f.usPerByte / kByteWireUs, f.cpuUsPerByte, f.bytes, f.commands);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    Figure line;
    {
        bench::SimulatedLine simulated;
        line = Run(simulated.printer, 0, rounds);
        Show("virtual serial line, traffic log off", line);
        Figure logged = Run(simulated.printer, 500, rounds);
        Show("virtual serial line, traffic log on", logged);
    }
    {
        auto printer = std::make_shared<sim::PrinterModel>(9600);
        sim::SimulatorOnPort port(printer, 1);
        Show("in-process device, traffic log off", Run(*printer, 0, rounds));
    }
    std::printf("limit: %.2f us/byte (5%% of %.1f us); virtual line: %.3f us/byte, ratio %.2f%%\n", kLimitUs,
                kByteWireUs, line.usPerByte, 100.0 * line.usPerByte / kByteWireUs);
    const bool pass = line.usPerByte < kLimitUs;
    std::printf("%s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
