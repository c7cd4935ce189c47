// Waiting costs nothing: whole time-outs waited out on a silent printer must cost under
// 1% of a core and end within 20 ms of their deadlines. The printer is the simulator's;
// the same idle wait is then measured on a pseudo-terminal and on the tty named by
// MOLDRIN_BENCH_TTY (a serial port, best with nothing attached; skipped when unset),
// with what each call on the device costs, so that a port that misses the goal shows
// where its time goes. The link's waits are measured alone (the capture off in a root
// of the benchmark's own); a watchdog ends a benchmark that stops making progress.
#include <sys/ioctl.h>
#include <termios.h>

#include <fcntl.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "bench_root.h"
#include "bench_support.h"
#include "moldrin.h"
#include "platform/posix/tty_posix.h"
#include "platform/serial_device.h"

using namespace moldrin;

namespace {

struct Outcome {
    double wallMs;
    double cpuMs;
};

Outcome Measure(const std::function<void()>& wait, int who = RUSAGE_THREAD) {
    auto t0 = std::chrono::steady_clock::now();
    double c0 = bench::CpuSeconds(who);
    wait();
    double c1 = bench::CpuSeconds(who);
    auto t1 = std::chrono::steady_clock::now();
    return {std::chrono::duration<double, std::milli>(t1 - t0).count(), (c1 - c0) * 1000.0};
}

constexpr double kTtyWaitMs = 10000;

// CPU per call of what the link's idle wait does each slice, on an open device.
struct CallCosts {
    double modemUs, queueUs, wakeUs;
};
CallCosts MeasureCalls(platform::SerialDevice& dev) {
    constexpr int kCalls = 2000, kWakes = 100;
    uint32_t lines = 0, rx = 0;
    double c0 = bench::CpuSeconds(RUSAGE_SELF);
    for (int i = 0; i < kCalls; ++i) dev.ModemStatus(&lines);
    double c1 = bench::CpuSeconds(RUSAGE_SELF);
    for (int i = 0; i < kCalls; ++i) dev.ClearErrors(nullptr, &rx, nullptr);
    double c2 = bench::CpuSeconds(RUSAGE_SELF);
    for (int i = 0; i < kWakes; ++i) dev.Wait(10);
    double c3 = bench::CpuSeconds(RUSAGE_SELF);
    return {(c1 - c0) * 1e6 / kCalls, (c2 - c1) * 1e6 / kCalls, (c3 - c2) * 1e6 / kWakes};
}

// Whether the tty's driver waits for a modem-line change (TIOCMIWAIT): a wait that
// is still blocked after 200 ms is one. The probe is left in the driver until exit.
const char* DriverChangeWait(const std::string& name) {
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return "unknown (cannot open)";
    struct Probe {
        std::atomic<int> result{1};
        std::atomic<int> err{0};
    };
    auto* probe = new Probe;  // outlives the probing thread, which may never return
    std::thread([fd, probe] {
        const int r = ::ioctl(fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RI);
        probe->err = errno;
        probe->result = r == 0 ? 0 : -1;
    }).detach();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (probe->result == 1) return "yes (TIOCMIWAIT blocks until a line changes)";
    if (probe->result == 0) return "yes (a line changed while probing)";
    static std::string no;
    no = std::string("no (TIOCMIWAIT: ") + std::strerror(probe->err) + ")";
    return no.c_str();
}

// The link's wait for DSR on a silent line, done on the device itself: look at the
// lines and the queue, then wait for news for at most the link's 10 ms slice.
// Measured for the whole process, so the device's own watcher thread counts too.
bool IdleTtyWait(const char* what, const std::string& name, const platform::posix::ModemLineCalls* calls = nullptr) {
    int err = 0;
    auto dev = calls ? platform::posix::OpenTty(name, &err, *calls) : platform::OpenSerialByName(name, &err);
    if (!dev) {
        std::fprintf(stderr, "%s: cannot open %s (errno %d)\n", what, name.c_str(), err);
        return false;
    }
    platform::LineSettings settings;
    dev->SetState(settings);
    uint32_t lines = 0;
    Outcome o = Measure(
        [&] {
            auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(kTtyWaitMs));
            for (;;) {
                dev->ModemStatus(&lines);
                uint32_t rx = 0;
                dev->ClearErrors(nullptr, &rx, nullptr);
                auto now = std::chrono::steady_clock::now();
                if (now >= end) break;
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
                dev->Wait(static_cast<uint32_t>(std::min<long>(static_cast<long>(left), 10)));
            }
        },
        RUSAGE_SELF);
    const double pct = 100.0 * o.cpuMs / o.wallMs;
    std::printf("%-40s %10.1f %10.1f %10.2f %7.3f%%  (%s, DSR %s)\n", what, o.wallMs, kTtyWaitMs, o.cpuMs, pct,
                name.c_str(), (lines & platform::kModemDsr) ? "on" : "off");
    // Where it goes: each 10 ms slice reads the lines once, the queue once, and
    // wakes once (the wake reads the lines and the queue again to see what changed).
    const CallCosts c = MeasureCalls(*dev);
    const double slices = 1000.0 / 10.0;
    std::printf("    per call: modem lines %.2f us, queue %.2f us, a 10 ms wait %.2f us; a second of slices:"
                " %.3f%% lines + %.3f%% queue + %.3f%% waits\n",
                c.modemUs, c.queueUs, c.wakeUs, slices * c.modemUs / 1e4, slices * c.queueUs / 1e4,
                slices * c.wakeUs / 1e4);
    return o.cpuMs / o.wallMs < 0.01;
}

// Modem lines played over a pseudo-terminal (which has none): DSR stays low, and
// the driver's change wait, where it is offered, blocks until close.
namespace played_lines {
int Get(int, int* lines) {
    *lines = 0;
    return 0;
}
int never[2] = {-1, -1};
char taken;
int WaitChange(int, int) { return ::read(never[0], &taken, 1) == 1 ? 0 : -1; }
int CannotWait(int, int) {
    errno = ENOTTY;
    return -1;
}
}  // namespace played_lines

// The far end stays open for the whole wait, so the terminal never hangs up.
struct Pseudoterminal {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ~Pseudoterminal() {
        if (master >= 0) ::close(master);
    }
    std::string Name() const {
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return {};
        const char* name = ::ptsname(master);
        return name ? name : "";
    }
};

}  // namespace

int main() {
    // The ttys first, alone in the process: nothing else may spend its processor time.
    std::printf("%-40s %10s %10s %10s %8s\n", "idle wait on a tty (whole process)", "wall ms", "wait", "cpu ms", "cpu %");
    bool ttyOk = true;
    bench::Watchdog("the idle waits on pseudo-terminals", 120);
    {
        Pseudoterminal pty;
        const std::string name = pty.Name();
        ttyOk = !name.empty() && IdleTtyWait("pseudo-terminal, 10 s", name);
    }
    if (::pipe(played_lines::never) == 0) {
        // What a serial port with modem lines costs, with and without the driver's wait.
        const platform::posix::ModemLineCalls waits{&played_lines::Get, &played_lines::WaitChange};
        const platform::posix::ModemLineCalls cannot{&played_lines::Get, &played_lines::CannotWait};
        {
            Pseudoterminal pty;
            ttyOk = IdleTtyWait("modem lines, driver waits, 10 s", pty.Name(), &waits) && ttyOk;
        }
        {
            Pseudoterminal pty;
            // Looking every 2 ms is the price of a driver that cannot wait; reported, not judged.
            IdleTtyWait("modem lines, no change wait, 10 s", pty.Name(), &cannot);
        }
        ::close(played_lines::never[0]);
        ::close(played_lines::never[1]);
    }
    if (const char* tty = std::getenv("MOLDRIN_BENCH_TTY"); tty && *tty) {
        bench::Watchdog("the idle wait on MOLDRIN_BENCH_TTY", 60);
        ttyOk = IdleTtyWait("MOLDRIN_BENCH_TTY, 10 s", tty) && ttyOk;
        std::printf("    the driver's change wait: %s\n", DriverChangeWait(tty));
    } else
        std::printf("%-40s (skipped: MOLDRIN_BENCH_TTY names no tty)\n", "real tty, 10 s");
    std::printf("tty waits: %s (each under 1%% of one core)\n\n", ttyOk ? "held" : "MISSED");

    bench::SimulatedLine line;
    // The link's own waits: with the capture on, its status queries would wait too.
    bench::BenchRoot root(bench::Capture::Off);
    constexpr unsigned kTimeout = 2;
    bench::Watchdog("opening a session", 60);
    if (ECFOpen(1, kTimeout, 500, 0) != 0) bench::BenchRoot::Fail("ECFOpen failed");
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
        bench::Watchdog(s.name, 60);
        Outcome o = Measure([&] {
            // Each scenario's command must fail, and only by its time-out.
            if (ECFWrite(s.command) == 0) bench::BenchRoot::Fail("a command went through a fault");
        });
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
    if (ECFClose() != 0) bench::BenchRoot::Fail("ECFClose failed");
    bench::Disarm();
    const double ratio = totalCpu / totalWall;
    std::printf("waiting: %.2f ms of CPU over %.0f ms of wall time = %.3f%% of one core (limit 1%%)\n", totalCpu,
                totalWall, 100.0 * ratio);
    std::printf("deadlines: %s (each within 20 ms)\n", ok ? "held" : "MISSED");
    const bool pass = ok && ttyOk && ratio < 0.01;
    std::printf("%s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
