// What the link benchmarks share: a scratch MOLDRIN_ROOT, the simulator served
// on a virtual serial line in a thread of its own, and CPU-time readings.
#pragma once
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "platform/virtual_line_server.h"
#include "sim/line_server.h"
#include "sim/printer_model.h"

namespace moldrin::bench {

inline double CpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A printer on "unix:<tmp>/line", and MOLDRIN_COM1 and MOLDRIN_ROOT pointing at it.
class SimulatedLine {
public:
    explicit SimulatedLine(uint32_t speed = 9600) : printer(speed) {
        char dir[] = "/tmp/moldrin-bench-XXXXXX";
        if (!mkdtemp(dir)) std::abort();
        dir_ = dir;
        name_ = "unix:" + dir_ + "/line";
        int err = 0;
        end_ = platform::VirtualLinePrinterEnd::Open(name_, &err);
        if (!end_) {
            std::fprintf(stderr, "cannot listen on %s (%d)\n", name_.c_str(), err);
            std::exit(1);
        }
        setenv("MOLDRIN_COM1", name_.c_str(), 1);
        setenv("MOLDRIN_ROOT", (dir_ + "/root").c_str(), 1);
        server_ = std::thread([this] { sim::ServeModel(*end_, printer, stop_, {}); });
    }
    ~SimulatedLine() {
        stop_ = true;
        end_->Wake();
        server_.join();
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "left %s behind\n", dir_.c_str());
    }
    sim::PrinterModel printer;

private:
    std::string dir_, name_;
    std::unique_ptr<platform::VirtualLinePrinterEnd> end_;
    std::atomic<bool> stop_{false};
    std::thread server_;
};

}  // namespace moldrin::bench
