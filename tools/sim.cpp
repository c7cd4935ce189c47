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
#include "tools/options.h"

namespace moldrin::tools {

namespace {

std::atomic<bool> g_stop{false};
platform::VirtualLinePrinterEnd* g_end = nullptr;

extern "C" void StopOnSignal(int) {
    g_stop = true;
    if (g_end) g_end->Wake();
}

// "unix:PATH" or "tcp:HOST:PORT" (HOST may be "[v6]", PORT 0 picks a free one).
std::string CheckListen(const std::string& v) {
    if (v.rfind("unix:", 0) == 0) return v.size() > 5 ? "" : "'unix:' needs a path";
    if (v.rfind("tcp:", 0) != 0) return "'" + v + "' is neither unix:PATH nor tcp:HOST:PORT";
    const std::size_t colon = v.rfind(':');
    int64_t port = 0;
    if (colon <= 4 || !ParseWhole(v.substr(colon + 1), 0, 65535, &port))
        return "'" + v + "' needs tcp:HOST:PORT with a port from 0 to 65535";
    return {};
}

bool SetFault(sim::Faults& f, const char* name) {
    if (!std::strcmp(name, "silent")) f.silent = true;
    else if (!std::strcmp(name, "dsr-low")) f.dsrLow = true;
    else if (!std::strcmp(name, "cts-low")) f.ctsLow = true;
    else if (!std::strcmp(name, "stray")) f.strayBefore = "#!?";
    else if (!std::strcmp(name, "overlong")) f.overlongRecord = true;
    else if (!std::strcmp(name, "overrun")) f.overrun = true;
    else if (!std::strcmp(name, "lost")) f.lostReplies = -1;
    else if (!std::strcmp(name, "lost-byte")) f.loseByte = true;
    else return false;
    return true;
}

// A scripted day replayed straight into the printer, with no line between.
int ReplayFile(sim::PrinterModel& printer, const std::string& path) {
    std::vector<sim::ScenarioStep> steps;
    std::string error;
    if (std::string why = UnreadableReason(path); !why.empty()) error = path + ": " + why;
    if (!error.empty() || !sim::ReadScenario(path, &steps, &error)) {
        std::fprintf(stderr, "moldrin sim: %s\n", error.c_str());
        return kExitFailure;
    }
    const std::size_t mismatches =
        sim::ReplayScenario(steps, [&](const std::string& frame) { return printer.Command(frame); }, stdout, stderr);
    return mismatches == 0 ? kExitOk : kExitFailure;
}

int Run(int argc, char** argv) {
    std::string listen, device, scenario;
    bool trace = false, extended = false;
    int64_t speed = 9600, delay = 0;
    char model = 'B';
    sim::Faults faults;
    Options cli("moldrin sim",
                "(--listen unix:PATH | --listen tcp:HOST:PORT | --device /dev/ttyX | --scenario FILE) [OPTION...]",
                "A listening address serves one host at a time until SIGINT or SIGTERM.\n"
                "--scenario replays a scripted day in-process (sim/command_set.md), prints each frame and\n"
                "reply, and fails when a reply is not the one the script says.\n");
    cli.Value("listen", "ADDRESS", "serve a virtual serial line: unix:PATH or tcp:HOST:PORT (port 0: any free one)",
              [&](const std::string& v) {
                  listen = v;
                  return CheckListen(v);
              });
    cli.Text("device", "PATH", "serve a real tty (the other end of a null-modem cable)", &device);
    cli.Text("scenario", "FILE", "replay a scripted day in-process, with no line", &scenario);
    cli.Value("speed", "BITS", "the one line speed the printer listens at: 9600 (default), 19200, 38400, 57600, 115200",
              [&](const std::string& v) -> std::string {
                  for (int64_t ok : {9600, 19200, 38400, 57600, 115200})
                      if (ParseWhole(v, ok, ok, &speed)) return {};
                  return "'" + v + "' is not one of 9600, 19200, 38400, 57600, 115200";
              });
    cli.Value("model", "LETTER", "model letter of status 27 1, A to Z (default B; G or later: block protocol)",
              [&](const std::string& v) -> std::string {
                  if (v.size() == 1 && v[0] >= 'A' && v[0] <= 'Z') {
                      model = v[0];
                      return {};
                  }
                  return "'" + v + "' is not one capital letter A to Z";
              });
    cli.Flag("extended", "a model with the extended status (typed status 28, status G digit)", &extended);
    cli.Value("fault", "NAME", "silent, dsr-low, cts-low, stray, overlong, overrun, lost (every command is carried out but\n"
              "its reply is lost; status queries are answered) (may be repeated)",
              [&](const std::string& v) -> std::string {
                  return SetFault(faults, v.c_str())
                             ? ""
                             : "'" + v + "' is not a fault (silent, dsr-low, cts-low, stray, overlong, overrun, lost)";
              });
    cli.Number("delay", "MS", "every answer starts this many milliseconds late, 0 to 60000", 0, 60000, &delay);
    cli.Flag("trace", "print each frame and answer on standard error", &trace);
    std::vector<std::string> args;
    if (int status = cli.Parse(argc, argv, args); status >= 0) return status;
    const int places = !listen.empty() + !device.empty() + !scenario.empty();
    if (places != 1) return cli.UsageError("give either --listen or --device (or --scenario FILE), one of them");
    const bool tty = !device.empty();
    const std::string name = tty ? device : listen;
    if (tty && (name.rfind("unix:", 0) == 0 || name.rfind("tcp:", 0) == 0))
        return cli.UsageError("--device takes a tty path; use --listen for " + name);
    faults.answerDelayMs = static_cast<uint32_t>(delay);
    // Checked after parsing: a fault names no line of its own until the place is known.
    if (scenario.empty())
        if (const char* why = sim::FaultsALineCannotShow(faults)) return cli.UsageError(why);

    sim::PrinterModel printer(static_cast<uint32_t>(speed));
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
            return cli.Failure("cannot open " + name + ": a running simulator (or another program) serves it");
        return cli.Failure("cannot open " + name + ": " + std::strerror(err));
    }
    g_end = end.get();
    std::signal(SIGINT, StopOnSignal);
    std::signal(SIGTERM, StopOnSignal);
    std::fprintf(stderr, "moldrin sim: printer at %u bit/s on %s\n", static_cast<unsigned>(speed), end->Address().c_str());

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
