// `moldrin sim`: the printer simulator on a virtual serial line or a real tty.
// The printer itself is sim/; the line is the platform's printer end.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/virtual_line_server.h"
#include "sim/line_server.h"
#include "sim/printer_model.h"
#include "sim/scenario.h"
#include "tools/command.h"

namespace moldrin::tools {

namespace {

std::atomic<bool> g_stop{false};
platform::VirtualLinePrinterEnd* g_end = nullptr;

extern "C" void StopOnSignal(int) {
    g_stop = true;
    if (g_end) g_end->Wake();
}

int Usage() {
    std::fprintf(stderr,
                 "usage: moldrin sim (--listen unix:PATH | --listen tcp:HOST:PORT | --device /dev/ttyX)\n"
                 "                   [--speed BITS] [--model LETTER] [--extended] [--fault NAME]... [--delay MS]\n"
                 "                   [--trace]\n"
                 "       moldrin sim --scenario FILE [--model LETTER] [--extended]\n"
                 "  --speed   the one line speed the printer listens at (default 9600)\n"
                 "  --model   model letter of status 27 1 (default B)\n"
                 "  --extended  a model with the extended status (typed status 28, status G digit)\n"
                 "  --fault   silent, dsr-low, cts-low, stray, overlong, overrun\n"
                 "  --delay   every answer starts this many milliseconds late\n"
                 "  --trace   print each frame and answer on standard error\n"
                 "  --scenario  replay a scripted day in-process (sim/command_set.md), print each\n"
                 "            frame and reply, and fail when a reply is not the one the script says\n");
    return 2;
}

bool SetFault(sim::Faults& f, const char* name) {
    if (!std::strcmp(name, "silent")) f.silent = true;
    else if (!std::strcmp(name, "dsr-low")) f.dsrLow = true;
    else if (!std::strcmp(name, "cts-low")) f.ctsLow = true;
    else if (!std::strcmp(name, "stray")) f.strayBefore = "#!?";
    else if (!std::strcmp(name, "overlong")) f.overlongRecord = true;
    else if (!std::strcmp(name, "overrun")) f.overrun = true;
    else if (!std::strcmp(name, "lost")) f.loseByte = true;
    else return false;
    return true;
}

// A scripted day replayed straight into the printer, with no line between.
int ReplayFile(sim::PrinterModel& printer, const std::string& path) {
    std::vector<sim::ScenarioStep> steps;
    std::string error;
    if (!sim::ReadScenario(path, &steps, &error)) {
        std::fprintf(stderr, "moldrin sim: %s\n", error.c_str());
        return 2;
    }
    const std::size_t mismatches =
        sim::ReplayScenario(steps, [&](const std::string& frame) { return printer.Command(frame); }, stdout, stderr);
    return mismatches == 0 ? 0 : 1;
}

int Run(int argc, char** argv) {
    std::string name;
    std::string scenario;
    bool tty = false;
    bool trace = false;
    uint32_t speed = 9600;
    char model = 'B';
    bool extended = false;
    sim::Faults faults;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--listen" && (v = value())) {
            name = v;
        } else if (a == "--device" && (v = value())) {
            name = v;
            tty = true;
        } else if (a == "--speed" && (v = value())) {
            speed = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
        } else if (a == "--model" && (v = value()) && v[0]) {
            model = v[0];
        } else if (a == "--fault" && (v = value())) {
            if (!SetFault(faults, v)) return Usage();
        } else if (a == "--delay" && (v = value())) {
            faults.answerDelayMs = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
        } else if (a == "--extended") {
            extended = true;
        } else if (a == "--scenario" && (v = value())) {
            scenario = v;
        } else if (a == "--trace") {
            trace = true;
        } else {
            return Usage();
        }
    }
    if ((name.empty() && scenario.empty()) || speed == 0) return Usage();
    if (tty && name.rfind("unix:", 0) == 0) return Usage();
    if (const char* why = sim::FaultsALineCannotShow(faults)) {
        std::fprintf(stderr, "moldrin sim: %s\n", why);
        return 2;
    }

    sim::PrinterModel printer(speed);
    printer.SetFaults(faults);
    // The printer's fiscal day and clock are today's.
    const platform::LocalTime now = platform::Now();
    char date[16], time[16], clock[24];
    std::snprintf(date, sizeof date, "%02d%02d%02d", now.day % 100, now.month % 100, now.year % 100);
    std::snprintf(time, sizeof time, "%02d%02d%02d", now.hour % 100, now.minute % 100, now.second % 100);
    std::snprintf(clock, sizeof clock, "%s%.4s", date, time);
    printer.EditState([&](sim::PrinterState& s) {
        s.modelLetter = model;
        if (extended) {
            s.typedStatus28 = true;
            s.statusGFlag = '1';
        }
        s.fiscalDate = date;
        s.fiscalTime = time;
        s.clock = clock;
    });

    if (!scenario.empty()) return ReplayFile(printer, scenario);

    int err = 0;
    auto end = platform::VirtualLinePrinterEnd::Open(name, &err);
    if (!end) {
        if (err == EADDRINUSE)
            std::fprintf(stderr, "moldrin sim: cannot open %s: a running simulator (or another program) serves it\n",
                         name.c_str());
        else
            std::fprintf(stderr, "moldrin sim: cannot open %s: %s\n", name.c_str(), std::strerror(err));
        return 1;
    }
    g_end = end.get();
    std::signal(SIGINT, StopOnSignal);
    std::signal(SIGTERM, StopOnSignal);
    std::fprintf(stderr, "moldrin sim: printer at %u bit/s on %s\n", speed, end->Address().c_str());

    sim::ServeOptions options;
    options.tty = tty;
    options.trace = trace ? stderr : nullptr;
    sim::ServeModel(*end, printer, g_stop, options);
    g_end = nullptr;
    return 0;
}

RegisterCommand reg("sim", "the printer simulator on a virtual serial line or a tty", Run);

}  // namespace

}  // namespace moldrin::tools
