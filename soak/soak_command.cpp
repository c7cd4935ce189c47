// `moldrin soak`: the busy store's simulated days, sold twice from one seed:
// once fault-free (the reference) and once with faults, every lane a POS process
// with its own printer process; then every fiscal file compared and a report.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "soak/fault_plan.h"
#include "soak/fiscal_compare.h"
#include "soak/processes.h"
#include "soak/small_disk.h"
#include "soak/soak_files.h"
#include "soak/store_script.h"
#include "tools/command.h"
#include "tools/options.h"

namespace moldrin::soak {
namespace {

namespace fs = std::filesystem;

struct Lane {
    std::string run;      // "reference" or "faulted"
    int number = 1;
    double rate = 0;
    std::string dir, root, socket;
    std::string disk;  // the lane's drive on a small disk of its own, for the full-disk fault
    pid_t printer = 0, pos = 0;
    int printerStarts = 0, posStarts = 0;
    bool done = false, stopping = false;
    std::string failure;
};

struct Settings {
    int64_t days = 7, lanes = 2, seed = 1, speed = 10, deadline = 1800;
    unsigned kinds = ~0u;
    double rate = 0.01;
    std::string dir, exe, key;
    bool keep = false;
};

std::string Factory(int lane) {
    char f[16];
    std::snprintf(f, sizeof f, "MS03%05d", 19 + lane);
    return f;
}

std::vector<std::string> Env(const Lane& l) { return {"MOLDRIN_ROOT=" + l.root, "MOLDRIN_COM1=unix:" + l.socket}; }

bool StartPrinter(const Settings& s, Lane& l) {
    l.printer = Spawn(s.exe,
                      {"soak-printer", "--listen", "unix:" + l.socket, "--dir", l.dir, "--factory", Factory(l.number),
                       "--lane", std::to_string(l.number), "--seed", std::to_string(s.seed), "--incarnation",
                       std::to_string(l.printerStarts), "--faults", std::to_string(l.rate), "--kinds",
                       std::to_string(s.kinds & 0xFFFF)},
                      {}, l.dir + "/printer.log");
    ++l.printerStarts;
    return l.printer > 0;
}

bool StartPos(const Settings& s, Lane& l) {
    l.pos = Spawn(s.exe,
                  {"soak-lane", "--dir", l.dir, "--lane", std::to_string(l.number), "--days", std::to_string(s.days),
                   "--seed", std::to_string(s.seed), "--speed", std::to_string(s.speed), "--faults",
                   std::to_string(l.rate), "--disk", l.disk, "--kinds", std::to_string(s.kinds & 0xFFFF)},
                  Env(l), l.dir + "/pos.log");
    ++l.posStarts;
    return l.pos > 0;
}

// The printer up and the application registered for it, as a store sets up a till.
std::string SetUp(const Settings& s, Lane& l) {
    fs::create_directories(l.dir);
    fs::create_directories(l.root);
    if (!StartPrinter(s, l)) return "cannot start the printer";
    if (!WaitForSocket(l.socket, 10000)) return "the printer did not start (" + l.dir + "/printer.log)";
    const int r = RunToEnd(s.exe,
                           {"register", "--from-printer", "--port", "1", "--cnpj", "12345678000199", "--ie", "111222333",
                            "--im", "4455", "--software-house", "Software House Ltda", "--coo", "1", "--order", "1",
                            "--name", "Caixa " + std::to_string(l.number), "--version", "1.0", "--program-data",
                            "frente de loja"},
                           Env(l), l.dir + "/register.log", 60);
    if (r != 0) return "the registration failed (" + l.dir + "/register.log)";
    if (!StartPos(s, l)) return "cannot start the POS";
    return {};
}

// Keeps every lane's printer and POS running until each lane has sold its days.
bool Supervise(const Settings& s, std::vector<Lane>& lanes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(s.deadline);
    auto live = [&] {
        for (const Lane& l : lanes)
            if (l.printer || l.pos) return true;
        return false;
    };
    while (live()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            for (Lane& l : lanes) {
                if (l.pos) ::kill(l.pos, SIGKILL);
                if (l.printer) ::kill(l.printer, SIGKILL);
                if (!l.done) l.failure = "not done within " + std::to_string(s.deadline) + " s";
            }
            while (::waitpid(-1, nullptr, 0) > 0) {
            }
            return false;
        }
        int status = 0;
        const pid_t p = ::waitpid(-1, &status, WNOHANG);
        if (p == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (p < 0) break;
        for (Lane& l : lanes) {
            if (p == l.printer) {
                l.printer = 0;
                if (!l.stopping && !StartPrinter(s, l)) l.failure = "cannot start the printer again";
            } else if (p == l.pos) {
                l.pos = 0;
                const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
                if (killed && StartPos(s, l)) continue;
                l.done = WIFEXITED(status) && WEXITSTATUS(status) == 0;
                if (!l.done) l.failure = "the POS ended with status " + std::to_string(status) + " (" + l.dir + "/pos.log)";
                l.stopping = true;
                if (l.printer) ::kill(l.printer, SIGTERM);
            }
        }
    }
    return true;
}

// The commands a printer carried out, from its journal, day by day: each day
// begins with the morning's clock setting (sent again by a POS restarted then).
std::vector<std::vector<std::string>> JournalDays(const std::string& dir) {
    std::vector<std::vector<std::string>> days;
    std::string bytes;
    if (!ReadWhole(dir + "/printer.journal", &bytes)) return days;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t nl = bytes.find('\n', at);
        if (nl == std::string::npos) break;
        const std::size_t n = std::strtoul(bytes.c_str() + at, nullptr, 10);
        const std::string frame = bytes.substr(nl + 1, n);
        at = nl + 1 + n + 1;
        const bool morning = frame.rfind("\x1B.++CLOCK", 0) == 0;
        if (morning && !days.empty() && !days.back().empty() && days.back().back() == frame) continue;
        if (morning || days.empty()) days.emplace_back();
        days.back().push_back(frame);
    }
    return days;
}

// Ordinary commands a printer carried out, from its journal.
long Commands(const std::string& dir) {
    std::string bytes;
    if (!ReadWhole(dir + "/printer.journal", &bytes)) return 0;
    long n = 0;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t nl = bytes.find('\n', at);
        if (nl == std::string::npos) break;
        at = nl + 1 + std::strtoul(bytes.c_str() + at, nullptr, 10) + 1;
        ++n;
    }
    return n;
}

int Run(int argc, char** argv) {
    Settings s;
    tools::Options cli(
        "moldrin soak", "--days N --seed S [--faults RATE] [--lanes K] [OPTION...]",
        "Sells the busy store's days twice from the seed, fault-free and then with faults at RATE per\n"
        "command (lost replies, printers unplugged, frozen or killed, the POS killed mid-coupon), each\n"
        "lane a POS process with its own simulated printer, and compares every day's fiscal file of the\n"
        "two runs. Prints a report; exit status 1 on any mismatch or failure.\n");
    cli.Number("days", "N", "fiscal days per lane (default 7)", 1, 3660, &s.days);
    cli.Number("seed", "S", "the seed of the store's script and of the faults (default 1)", 0, INT64_MAX, &s.seed);
    cli.Value("faults", "RATE", "faults per command, as 0.01 or 1% (default 1%)",
              [&](const std::string& v) { return ParseRate(v, &s.rate); });
    cli.Value("only", "KIND", "only this kind (repeatable): lost, unplugged, frozen, printer, application, disk",
              [&](const std::string& v) -> std::string {
                  const Fault f = FaultNamed(v == "printer" ? "printer killed" : v == "application" ? "application killed" : v);
                  if (f == Fault::None) return "'" + v + "' is not a kind of fault";
                  if (s.kinds == ~0u) s.kinds = 0;
                  s.kinds |= KindBit(f);
                  return {};
              });
    cli.Number("lanes", "K", "POS lanes, each with its own printer and folder (default 2)", 1, 16, &s.lanes);
    cli.Number("speed", "K", "the lanes' waits and time-outs pass K times faster (default 10)", 1, 100, &s.speed);
    cli.Number("deadline", "SECONDS", "give up after this long (default 1800)", 1, 86400, &s.deadline);
    cli.Text("dir", "DIR", "work in DIR (default: a new folder under $TMPDIR or /tmp)", &s.dir);
    cli.Flag("keep", "keep the work folder even when all is well", &s.keep);
    std::vector<std::string> args;
    if (int status = cli.Parse(argc, argv, args); status >= 0) return status;

    const auto start = std::chrono::steady_clock::now();
    if (s.dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/moldrin-soak.XXXXXX";
        if (!::mkdtemp(pattern.data())) return cli.Failure("cannot make a work folder");
        s.dir = pattern;
    }
    s.dir = fs::absolute(s.dir).string();
    // The lanes sign with a key of their own, beside their own copy of the tool.
    std::error_code ec;
    fs::create_directories(s.dir + "/bin", ec);
    s.exe = s.dir + "/bin/moldrin";
    s.key = s.dir + "/bin/RSA.BIN";
    if (!fs::exists(s.exe)) fs::copy_file("/proc/self/exe", s.exe, ec);
    if (ec) return cli.Failure("cannot copy the tool into " + s.dir + ": " + ec.message());
    if (!fs::exists(s.key) && RunToEnd(s.exe, {"keygen", s.key}, {}, s.dir + "/keygen.log", 120) != 0)
        return cli.Failure("cannot make a signing key (" + s.dir + "/keygen.log)");

    std::vector<Lane> lanes;
    for (const char* run : {"reference", "faulted"}) {
        for (int n = 1; n <= s.lanes; ++n) {
            Lane l;
            l.run = run;
            l.number = n;
            l.rate = std::string(run) == "faulted" ? s.rate : 0;
            l.dir = s.dir + "/" + run + "/lane" + std::to_string(n);
            l.root = l.dir + "/root";
            l.socket = l.dir + "/line";
            lanes.push_back(l);
        }
    }
    std::printf("moldrin soak: %lld days, %lld lanes, seed %lld, faults %g per command, in %s\n",
                static_cast<long long>(s.days), static_cast<long long>(s.lanes), static_cast<long long>(s.seed), s.rate,
                s.dir.c_str());
    std::fflush(stdout);
    // The faulted lanes' drives on small disks that may fill up.
    std::string noDisk = s.rate > 0 ? "" : "no faults";
    for (Lane& l : lanes) {
        if (l.rate <= 0 || !noDisk.empty()) continue;
        noDisk = MountSmallDisk(l.root + "/c");
        if (noDisk.empty()) l.disk = l.root + "/c";
    }
    bool failed = false;
    for (Lane& l : lanes) {
        l.failure = SetUp(s, l);
        if (!l.failure.empty()) failed = true;
    }
    if (!failed) failed = !Supervise(s, lanes);
    else
        for (Lane& l : lanes) {
            if (l.pos) ::kill(l.pos, SIGKILL);
            if (l.printer) ::kill(l.printer, SIGKILL);
        }
    while (::waitpid(-1, nullptr, 0) > 0) {
    }

    // The report.
    long coupons = 0, cancelled = 0;
    for (int n = 1; n <= s.lanes; ++n)
        for (int d = 0; d < s.days; ++d)
            for (const Step& step : DayScript(static_cast<uint64_t>(s.seed), n, d)) {
                coupons += step.op == Op::CloseCoupon;
                cancelled += step.op == Op::CancelCoupon;
            }
    long commands[2] = {0, 0};
    std::map<Fault, int> faults;
    std::vector<std::string> refusals;
    int restartsPos = 0, restartsPrinter = 0;
    Comparison c;
    for (const Lane& l : lanes) {
        const bool faulted = l.run == "faulted";
        commands[faulted] += Commands(l.dir);
        if (faulted) {
            for (const auto& [k, v] : FaultNotes::Count(l.dir + "/faults")) faults[k] += v;
            restartsPos += l.posStarts - 1;
            restartsPrinter += l.printerStarts - 1;
        }
        std::string text;
        if (ReadWhole(l.dir + "/refusals", &text) && !text.empty())
            refusals.push_back(l.run + " lane " + std::to_string(l.number) + ": " + text.substr(0, text.find('\n')));
        if (!l.failure.empty()) refusals.push_back(l.run + " lane " + std::to_string(l.number) + ": " + l.failure);
    }
    // The days whose printer did not do the same in both runs.
    std::vector<std::string> changedDays;
    for (int n = 1; n <= s.lanes; ++n) {
        const auto a = JournalDays(lanes[static_cast<std::size_t>(n - 1)].dir);
        const auto b = JournalDays(lanes[static_cast<std::size_t>(n - 1 + s.lanes)].dir);
        for (std::size_t d = 0; d < std::max(a.size(), b.size()); ++d)
            if (d >= a.size() || d >= b.size() || a[d] != b[d])
                changedDays.push_back("lane " + std::to_string(n) + " day " + std::to_string(d + 1));
    }
    for (int n = 1; n <= s.lanes; ++n)
        CompareLane("lane " + std::to_string(n), lanes[static_cast<std::size_t>(n - 1)].root,
                    lanes[static_cast<std::size_t>(n - 1 + s.lanes)].root, s.key, &c);

    rusage self{}, children{};
    ::getrusage(RUSAGE_SELF, &self);
    ::getrusage(RUSAGE_CHILDREN, &children);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    const double cpu = seconds(self.ru_utime) + seconds(self.ru_stime) + seconds(children.ru_utime) + seconds(children.ru_stime);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long peakKb = std::max(self.ru_maxrss, children.ru_maxrss);

    std::printf("days:        %lld a lane, %lld lane-days\n", static_cast<long long>(s.days),
                static_cast<long long>(s.days * s.lanes));
    std::printf("coupons:     %ld closed, %ld cancelled (each run)\n", coupons, cancelled);
    std::printf("commands:    %ld reference, %ld faulted (carried out by the printers)\n", commands[0], commands[1]);
    std::printf("faults:     ");
    int total = 0;
    for (int k = 1; k < static_cast<int>(Fault::kCount); ++k) {
        const Fault f = static_cast<Fault>(k);
        if (f == Fault::DiskFull && !noDisk.empty()) std::printf(" %s not run (%s),", FaultName(f), noDisk.c_str());
        else std::printf(" %s %d,", FaultName(f), faults[f]);
        total += faults[f];
    }
    std::printf(" %d in all (printer restarts %d, POS restarts %d)\n", total, restartsPrinter, restartsPos);
    std::printf("files:       %d reference, %d faulted, %d verified\n", c.referenceFiles, c.faultedFiles, c.verified);
    // No fault of the plan changes what a printer does; a day that changed all the same
    // (a sale given up on) is listed, and fails the run through its refusal.
    std::printf("changed days: %zu (the printer's commands of the day differ from the reference run's)\n",
                changedDays.size());
    for (const std::string& d : changedDays) std::printf("  %s\n", d.c_str());
    std::printf("mismatches:  %zu\n", c.mismatches.size());
    for (const std::string& m : c.mismatches) std::printf("  %s\n", m.c_str());
    if (c.referenceFiles < s.days * s.lanes)
        std::printf("  the reference run made %d files of %lld days\n", c.referenceFiles,
                    static_cast<long long>(s.days * s.lanes));
    std::printf("failures:    %zu\n", refusals.size());
    for (const std::string& r : refusals) std::printf("  %s\n", r.c_str());
    std::printf("time:        %.1f s wall, %.1f s CPU, peak memory %.1f MB\n", wall, cpu, peakKb / 1024.0);
    const bool ok = !failed && c.mismatches.empty() && refusals.empty() && changedDays.empty() &&
                    c.referenceFiles >= s.days * s.lanes;
    std::printf("result:      %s\n", ok ? "PASS" : "FAIL");
    for (const Lane& l : lanes) {
        if (l.disk.empty()) continue;
        // What the small disk held goes with the work folder when it is kept.
        if (!ok || s.keep) fs::copy(l.disk, l.dir + "/c-saved", fs::copy_options::recursive, ec);
        UnmountSmallDisk(l.disk);
    }
    if (ok && !s.keep) fs::remove_all(s.dir, ec);
    else std::printf("work folder: %s\n", s.dir.c_str());
    return ok ? tools::kExitOk : tools::kExitFailure;
}

tools::RegisterCommand reg("soak", "a simulated busy year with injected faults, checked against a fault-free run", Run);

}  // namespace
}  // namespace moldrin::soak
