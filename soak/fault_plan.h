// The faults of a run, drawn from the seed: which command meets which fault, and
// how a fault plays out. The printer's faults are drawn by the printer process, the
// application's kill by the lane; both draw from here, so a seed gives one plan.
#pragma once
#include <cstdint>
#include <string>

#include "soak/store_script.h"

namespace moldrin::soak {

enum class Fault : uint8_t { None, LostReply, Unplugged, Frozen, PrinterKilled, PosKilled, DiskFull, kCount };

const char* FaultName(Fault f);

struct PrinterFault {
    Fault kind = Fault::None;
    bool executed = false;  // the printer carried the command out before it went away
    uint32_t ms = 0;        // how long it stays unplugged or frozen
};

// The printer's fault at its index-th command (counted over its whole life) in
// its incarnation-th run, for a run with faults at `rate` per command. Of the
// kinds, the application's kill and the full disk are the lane's.
PrinterFault PrinterFaultAt(uint64_t seed, int lane, uint64_t index, uint64_t incarnation, double rate,
                            unsigned kinds = ~0u);

// The bit of a kind in a mask of the kinds a run injects; 0 for none.
inline unsigned KindBit(Fault f) { return 1u << static_cast<unsigned>(f); }
// The kind of a fault's name (as FaultName gives it, or its first word), None when unknown.
Fault FaultNamed(const std::string& name);

// The lane's fault before step `step` of day `day`: none, the application killed
// while the step runs (after delayUs), or the disk full for the step.
struct LaneFault {
    Fault kind = Fault::None;
    uint32_t delayUs = 0;
};
LaneFault LaneFaultAt(uint64_t seed, int lane, int day, int step, const Step& s, double rate, bool diskFaults,
                      unsigned kinds = ~0u);

}  // namespace moldrin::soak
