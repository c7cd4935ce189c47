// `moldrin soak-printer`: a lane's printer, the simulator on a virtual line that
// keeps its fiscal memory across being killed (every command it carries out is
// journaled first and replayed at start) and meets the faults the seed plans.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/virtual_line_server.h"
#include "sim/line_server.h"
#include "sim/printer_model.h"
#include "soak/fault_plan.h"
#include "soak/soak_files.h"
#include "tools/command.h"
#include "tools/options.h"

namespace moldrin::soak {
namespace {

std::atomic<bool> g_stop{false};
platform::VirtualLinePrinterEnd* g_end = nullptr;

extern "C" void StopPrinterOnSignal(int) {
    g_stop = true;
    if (g_end) g_end->Wake();
}

// Status queries change nothing: they are neither journaled nor faulted.
bool ChangesThePrinter(std::string_view frame) {
    if (frame.size() < 5 || frame[0] != 0x1B || frame[1] != '.') return false;
    if (frame[2] == '+') return true;  // the simulator's own clock frames
    if (frame[2] < '0' || frame[2] > '9' || frame[3] < '0' || frame[3] > '9') return false;
    const int code = (frame[2] - '0') * 10 + (frame[3] - '0');
    return code != 23 && code != 27 && code != 28 && code != 29;
}

// The printer's memory: every command it carried out, in order.
class Journal {
public:
    bool Open(const std::string& path, sim::PrinterModel& model, uint64_t* count) {
        std::string bytes;
        if (!ReadWhole(path, &bytes) && errno != ENOENT) return false;
        std::size_t at = 0, good = 0;
        *count = 0;
        while (at < bytes.size()) {
            const std::size_t nl = bytes.find('\n', at);
            if (nl == std::string::npos) break;
            const std::size_t n = std::strtoul(bytes.c_str() + at, nullptr, 10);
            if (nl + 1 + n + 1 > bytes.size() || bytes[nl + 1 + n] != '\n') break;
            model.Command(bytes.substr(nl + 1, n));
            at = nl + 1 + n + 1;
            good = at;
            ++*count;
        }
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) return false;
        // A record cut short by the kill was never carried out.
        return ::ftruncate(fd_, static_cast<off_t>(good)) == 0 && ::lseek(fd_, 0, SEEK_END) >= 0;
    }
    // Written before the printer acts: a kill afterwards cannot lose it.
    bool Add(std::string_view frame) {
        const std::string record = std::to_string(frame.size()) + "\n" + std::string(frame) + "\n";
        return ::write(fd_, record.data(), record.size()) == static_cast<ssize_t>(record.size());
    }

private:
    int fd_ = -1;
};

int Run(int argc, char** argv) {
    std::string listen, dir, factory = "MS0300019", date = "010127";
    int64_t lane = 1, seed = 1, incarnation = 0, kinds = 0xFFFF;
    double rate = 0;
    tools::Options cli("moldrin soak-printer", "--listen unix:PATH --dir DIR [OPTION...]",
                       "A lane's printer for `moldrin soak` (not for use on its own).\n");
    cli.Text("listen", "ADDRESS", "the virtual line to serve", &listen);
    cli.Text("dir", "DIR", "where the printer keeps its journal and notes its faults", &dir);
    cli.Text("factory", "NUMBER", "the printer's factory number", &factory);
    cli.Text("date", "DDMMYY", "the date its clock starts at", &date);
    cli.Number("lane", "N", "the lane", 1, 99, &lane);
    cli.Number("seed", "S", "the run's seed", 0, INT64_MAX, &seed);
    cli.Number("incarnation", "N", "how many times this printer was started before", 0, INT64_MAX, &incarnation);
    cli.Value("faults", "RATE", "faults per command, 0 to 1", [&](const std::string& v) { return ParseRate(v, &rate); });
    cli.Number("kinds", "MASK", "the kinds of fault to inject, a bit each", 0, 0xFFFF, &kinds);
    std::vector<std::string> args;
    if (int status = cli.Parse(argc, argv, args); status >= 0) return status;
    if (listen.empty() || dir.empty()) return cli.UsageError("--listen and --dir are needed");

    sim::PrinterModel model(9600);
    model.EditState([&](sim::PrinterState& s) {
        s.factoryNumber = factory;
        s.fiscalDate = date;
        s.fiscalTime = "080000";
        s.clock = date + "0800";
    });
    Journal journal;
    uint64_t index = 0;
    if (!journal.Open(dir + "/printer.journal", model, &index)) return cli.Failure("cannot open the journal in " + dir);
    model.ClearFrames();
    FaultNotes notes(dir + "/faults");

    std::mutex m;
    std::chrono::steady_clock::time_point frozenUntil{}, pluggedAt{};
    bool unplugged = false;
    uint64_t lastFaulted = UINT64_MAX;
    sim::PrinterModel* printer = &model;
    model.SetResponder([&](std::string_view frame) -> std::optional<std::string> {
        if (!ChangesThePrinter(frame)) return std::nullopt;
        const auto now = std::chrono::steady_clock::now();
        {
            std::lock_guard lock(m);
            if (now < frozenUntil) return std::string();  // taken, not carried out, no answer
        }
        // A command is met by at most one fault: the one sent again after it goes through.
        const bool fresh = index != lastFaulted;
        const PrinterFault f = frame[2] == '+' || !fresh ? PrinterFault{}
                                               : PrinterFaultAt(static_cast<uint64_t>(seed), static_cast<int>(lane), index,
                                                                static_cast<uint64_t>(incarnation), rate,
                                                                static_cast<unsigned>(kinds));
        if (f.kind == Fault::None || f.executed) {
            if (!journal.Add(frame)) std::_Exit(3);
            ++index;
        }
        if (f.kind == Fault::None) return std::nullopt;
        lastFaulted = f.executed ? index - 1 : index;
        notes.Add(f.kind);
        switch (f.kind) {
            case Fault::LostReply: {
                sim::Faults lost = printer->GetFaults();
                lost.lostReplies = 1;
                printer->SetFaults(lost);
                return std::nullopt;
            }
            case Fault::PrinterKilled:
                if (f.executed) printer->Command(std::string(frame));
                std::raise(SIGKILL);
                return std::string();
            case Fault::Frozen: {
                std::lock_guard lock(m);
                frozenUntil = now + std::chrono::milliseconds(f.ms);
                break;
            }
            case Fault::Unplugged: {
                std::lock_guard lock(m);
                unplugged = true;
                pluggedAt = now + std::chrono::milliseconds(f.ms);
                sim::Faults low = printer->GetFaults();
                low.dsrLow = true;
                printer->SetFaults(low);
                break;
            }
            default: return std::nullopt;
        }
        // Carried out (or not) with its answer lost as the printer went away.
        if (f.executed) printer->Command(std::string(frame));
        return std::string();
    });

    int err = 0;
    auto end = platform::VirtualLinePrinterEnd::Open(listen, &err);
    if (!end) return cli.Failure("cannot open " + listen + ": " + std::strerror(err));
    g_end = end.get();
    std::signal(SIGINT, StopPrinterOnSignal);
    std::signal(SIGTERM, StopPrinterOnSignal);
    // The printer is plugged back in when its time comes.
    std::thread plug([&] {
        while (!g_stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::lock_guard lock(m);
            if (unplugged && std::chrono::steady_clock::now() >= pluggedAt) {
                unplugged = false;
                sim::Faults f = printer->GetFaults();
                f.dsrLow = false;
                printer->SetFaults(f);
                end->Wake();
            }
        }
    });
    sim::ServeOptions options;
    sim::ServeModel(*end, model, g_stop, options);
    g_stop = true;
    plug.join();
    g_end = nullptr;
    return 0;
}

tools::RegisterCommand reg("soak-printer", "(used by soak) a lane's printer that keeps its memory", Run);

}  // namespace
}  // namespace moldrin::soak
