// The faults drawn from the seed: the printer's (lost replies, unplugged, frozen,
// killed) and the lane's (the application killed mid-operation, the disk full).
#include "soak/fault_plan.h"

namespace moldrin::soak {

const char* FaultName(Fault f) {
    static const char* const names[] = {"none",          "lost reply",     "printer unplugged", "printer frozen",
                                        "printer killed", "application killed", "disk full"};
    return names[static_cast<int>(f)];
}

// Each of the six kinds is an equal share of the rate.
constexpr double kShare = 1.0 / 6.0;

Fault FaultNamed(const std::string& name) {
    for (int k = 1; k < static_cast<int>(Fault::kCount); ++k) {
        const std::string full = FaultName(static_cast<Fault>(k));
        if (name == full || full.rfind(name + " ", 0) == 0 || full.find(" " + name) != std::string::npos)
            return static_cast<Fault>(k);
    }
    return Fault::None;
}

PrinterFault PrinterFaultAt(uint64_t seed, int lane, uint64_t index, uint64_t incarnation, double rate, unsigned kinds) {
    Draw d(seed ^ 0x5052494E54ull, static_cast<uint64_t>(lane) + 1, index + 1, incarnation + 1);
    PrinterFault f;
    if (!d.Chance(rate * 4 * kShare)) return f;
    f.kind = static_cast<Fault>(1 + d.Below(4));
    f.executed = f.kind == Fault::LostReply || d.Chance(0.5);
    f.ms = static_cast<uint32_t>(d.Between(150, 1500));
    if (!(kinds & KindBit(f.kind))) return PrinterFault{};
    return f;
}

LaneFault LaneFaultAt(uint64_t seed, int lane, int day, int step, const Step& s, double rate, bool diskFaults,
                      unsigned kinds) {
    Draw d(seed ^ 0x4C414E45ull, static_cast<uint64_t>(lane) + 1, static_cast<uint64_t>(day) + 1,
           static_cast<uint64_t>(step) + 1);
    LaneFault f;
    const bool kill = d.Chance(rate * kShare), disk = d.Chance(rate * kShare);
    f.delayUs = static_cast<uint32_t>(d.Between(0, 3000));
    if (kill && Decidable(s.op) && (kinds & KindBit(Fault::PosKilled))) f.kind = Fault::PosKilled;
    else if (disk && diskFaults && (kinds & KindBit(Fault::DiskFull))) f.kind = Fault::DiskFull;
    return f;
}

}  // namespace moldrin::soak
