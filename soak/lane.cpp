// `moldrin soak-lane`: one POS of the busy store. It sells its days through the
// typed operations and the library, notes in a small journal where it is before
// each step, and after being killed opens again, reads the printer to learn
// whether the step in hand was carried out, and carries on with its day.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "moldrin.h"
#include "moldrin_ops.h"
#include "soak/fault_plan.h"
#include "soak/lane_clock.h"
#include "soak/small_disk.h"
#include "soak/soak_files.h"
#include "soak/store_script.h"
#include "tools/command.h"
#include "tools/options.h"

namespace moldrin::soak {
namespace {

// Where the lane is: the step it is about to carry out, and, while a step that
// may be cut short runs, the printer's status before it.
struct Place {
    int day = 0;
    int step = 0;
    int inFlight = 0;
    MoldrinOpsStatus before{};
};

bool SavePlace(const std::string& path, const Place& p) {
    return WriteAtomic(path, std::string(reinterpret_cast<const char*>(&p), sizeof p));
}

Place LoadPlace(const std::string& path) {
    Place p;
    std::string bytes;
    if (ReadWhole(path, &bytes) && bytes.size() == sizeof p) std::memcpy(&p, bytes.data(), sizeof p);
    return p;
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A session on the lane's port, opened again after the printer or the line failed it.
void OpenSession() {
    for (int i = 0;; ++i) {
        if (ECFOpen(1, 1, 0, 0) == 0) break;
        ECFClose();
        Pause(i < 20 ? 5 : 50);
    }
    SetTimeoutRead(1);
}

bool ReadStatus(MoldrinOpsStatus* s) {
    for (int i = 0; i < 2000; ++i) {
        MoldrinOpsResult r{};
        const int status = MoldrinReadStatus(s, &r);
        if (status == MOLDRIN_OPS_OK) return true;
        if (status == MOLDRIN_OPS_NO_SESSION) OpenSession();
        Pause(10);
    }
    return false;
}

// The simulator's own frame: the printer's clock on the morning of the day.
bool SetPrinterClock(int y, int m, int d) {
    char frame[40];
    std::snprintf(frame, sizeof frame, "\x1B.++CLOCK %02d%02d%02d0800}", d, m, y % 100);
    for (int i = 0; i < 2000; ++i) {
        char reply[MOLDRIN_REPLY_MIN + 1] = {};
        if (ECFWrite(frame) == 0 && ECFRead(reply, MOLDRIN_REPLY_MIN) == 0 && std::strcmp(reply, ".+0000}") == 0)
            return true;
        if (ECFRead(reply, MOLDRIN_REPLY_MIN) != 0) OpenSession();
        Pause(10);
    }
    return false;
}

struct LaneOptions {
    int64_t lane = 1, days = 1, seed = 1, speed = 10, year = 2027, kinds = 0xFFFF;
    double rate = 0;
    std::string dir;
    std::string disk;  // the lane's small drive, when it has one: the disk may then fill up
};

// Carries a step out, settling and trying again while the printer is away.
// False: the printer refused it (noted) or never came back.
bool Carry(const Step& step, const LaneOptions& o, int day, int index) {
    for (int attempt = 0; attempt < 6000; ++attempt) {
        MoldrinOpsResult r{};
        const int status = RunStep(step, &r);
        if (status == MOLDRIN_OPS_OK) return true;
        if (status == MOLDRIN_OPS_REFUSED || status == MOLDRIN_OPS_BAD_ARGUMENT) {
            FaultNotes(o.dir + "/refusals")
                .AddText("day " + std::to_string(day + 1) + " step " + std::to_string(index + 1) + " (" +
                         OpName(step.op) + "): " + r.reason);
            return false;
        }
        if (status == MOLDRIN_OPS_NO_SESSION) OpenSession();
        Pause(attempt < 50 ? 5 : 20);
    }
    return false;
}

int Run(int argc, char** argv) {
    LaneOptions o;
    tools::Options cli("moldrin soak-lane", "--dir DIR [OPTION...]",
                       "One POS of `moldrin soak` on COM1 (not for use on its own).\n");
    cli.Text("dir", "DIR", "where the lane keeps its journal and notes", &o.dir);
    cli.Number("lane", "N", "the lane", 1, 99, &o.lane);
    cli.Number("days", "N", "days to sell", 1, 3660, &o.days);
    cli.Number("seed", "S", "the run's seed", 0, INT64_MAX, &o.seed);
    cli.Number("speed", "K", "waits pass K times faster", 1, 1000, &o.speed);
    cli.Number("year", "Y", "the first day is 1 January of Y", 2001, 2090, &o.year);
    cli.Value("faults", "RATE", "faults per command", [&](const std::string& v) { return ParseRate(v, &o.rate); });
    cli.Number("kinds", "MASK", "the kinds of fault to inject, a bit each", 0, 0xFFFF, &o.kinds);
    cli.Text("disk", "DIR", "the lane's drive on a small disk of its own, which may fill up", &o.disk);
    std::vector<std::string> args;
    if (int status = cli.Parse(argc, argv, args); status >= 0) return status;
    if (o.dir.empty()) return cli.UsageError("--dir is needed");

    LaneClock clock(static_cast<uint32_t>(o.speed));
    platform::SetClock(&clock);
    const std::string placePath = o.dir + "/place";
    Place place = LoadPlace(placePath);
    const FaultNotes notes(o.dir + "/faults");
    OpenSession();

    for (int day = place.day; day < o.days; ++day) {
        int y = 0, m = 0, d = 0;
        CalendarDay(static_cast<int>(o.year), day, &y, &m, &d);
        clock.SetDay(y, m, d);
        const std::vector<Step> script = DayScript(static_cast<uint64_t>(o.seed), static_cast<int>(o.lane), day);
        int first = day == place.day ? place.step : 0;
        if (day == place.day && place.inFlight) {
            // Killed while the step ran: the printer says whether it was carried out.
            MoldrinOpsStatus now{};
            if (!ReadStatus(&now)) return cli.Failure("the printer does not answer after the restart");
            MoldrinOpsResult settled{};
            MoldrinOpsSettle(&settled);
            if (CarriedOut(script[static_cast<std::size_t>(first)], place.before, now)) ++first;
        }
        if (first == 0 && !SetPrinterClock(y, m, d)) return cli.Failure("the printer's clock cannot be set");
        for (int s = first; s < static_cast<int>(script.size()); ++s) {
            const Step& step = script[static_cast<std::size_t>(s)];
            Place here{day, s, 0, {}};
            // The step the lane was killed in goes through when it is sold again.
            const bool resumed = day == place.day && s == place.step && place.inFlight;
            const LaneFault fault = resumed ? LaneFault{} : LaneFaultAt(static_cast<uint64_t>(o.seed), static_cast<int>(o.lane), day, s, step,
                                                o.rate, !o.disk.empty(), static_cast<unsigned>(o.kinds));
            if (fault.kind == Fault::PosKilled) {
                if (!ReadStatus(&here.before)) return cli.Failure("the printer does not answer");
                here.inFlight = 1;
            }
            if (!SavePlace(placePath, here)) return cli.Failure("cannot write " + placePath);
            if (fault.kind == Fault::PosKilled) {
                notes.Add(Fault::PosKilled);
                std::thread([us = fault.delayUs] {
                    std::this_thread::sleep_for(std::chrono::microseconds(us));
                    ::kill(::getpid(), SIGKILL);
                }).detach();
            }
            if (fault.kind == Fault::DiskFull) {
                // The step meets a full disk once, and is carried on once there is room again.
                notes.Add(Fault::DiskFull);
                FillDisk(o.disk);
                MoldrinOpsResult r{};
                const int status = RunStep(step, &r);
                FreeDisk(o.disk);
                if (status != MOLDRIN_OPS_OK) Carry(step, o, day, s);
            } else {
                Carry(step, o, day, s);
            }
            // A kill planned in this step lands before the next one is noted.
            if (fault.kind == Fault::PosKilled) Pause(5000);
        }
        place = Place{day + 1, 0, 0, {}};
        if (!SavePlace(placePath, place)) return cli.Failure("cannot write " + placePath);
    }
    ECFClose();
    platform::SetClock(nullptr);
    return 0;
}

tools::RegisterCommand reg("soak-lane", "(used by soak) one POS of the busy store", Run);

}  // namespace
}  // namespace moldrin::soak
