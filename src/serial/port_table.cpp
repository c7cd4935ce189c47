// The sixteen-port table and the raw operations on its ports. It turns the
// device's answers into the driver's small codes and leaves every message to
// the checked operations and the printer link.
#include "serial/port_table.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "session/session_state.h"
#include "platform/clock.h"
#include "platform/sync.h"

namespace moldrin::serial {

using platform::CommTimeouts;
using platform::Escape;
using platform::LineSettings;
using platform::SerialDevice;

namespace {

// Each call holds the record's lock from its index check to the device's answer,
// so a port is driven by one thread at a time and its device cannot be closed
// under a call; only Wait runs outside the lock, on its own reference.
struct PortRecord {
    std::mutex m;
    std::shared_ptr<SerialDevice> handle;  // null = closed
    uint8_t LineFlags = 0;                 // bit 0 DTR set, bit 1 RTS set
    LineSettings settings;
    CommTimeouts SavedTimeouts;
};

struct DefaultLineSettings {
    std::atomic<uint32_t> speed{19200};
    std::atomic<uint8_t> dataBits{8};
    std::atomic<uint8_t> parity{0};
    std::atomic<uint8_t> stopBits{0};
};

// Never destroyed: a session closed from the unload path, after the exit
// handlers ran, still finds its port here.
std::array<PortRecord, kPortCount>& Table() {
    static auto& table = *new std::array<PortRecord, kPortCount>;
    return table;
}
DefaultLineSettings& Defaults() {
    static auto& defaults = *new DefaultLineSettings;
    return defaults;
}

constexpr uint32_t kSpeedCodes[10] = {110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

uint32_t RateOf(uint32_t v) { return v <= 9 ? kSpeedCodes[v] : v; }

// Runs fn(record, device) under the record's lock after the index check and
// the open check, in that order; their codes when the port may not be used.
template <class F>
int WithPort(int index, F fn) {
    if (PortCheck(index) < 0) return kNoSuchPort;
    PortRecord& p = Table()[index];
    std::unique_lock lock(p.m, std::defer_lock);
    // A port held by a thread the system ended at exit is out of reach.
    if (!platform::LockUnlessAbandoned(lock)) return kPortNotOpen;
    if (!p.handle) return kPortNotOpen;
    return fn(p, *p.handle);
}

// Puts DTR and RTS back as last set through PortDtr/PortRts.
void Reassert(PortRecord& p) {
    if (p.LineFlags & 1) p.handle->EscapeFunction(Escape::SetDtr);
    if (p.LineFlags & 2) p.handle->EscapeFunction(Escape::SetRts);
}

// How long one byte may take to be handed to the line: the transmitter's
// per-byte time, so that a line that takes nothing fails like a failed write.
uint32_t WriteLimitMs() { return g_session.ReadTimeoutSeconds * 1000u; }

}  // namespace

int PortCheck(int index) {
    // The table starts closed with clear flags: its initialisation is the first-use set-up.
    return (index >= 0 && index < kPortCount) ? 0 : kNoSuchPort;
}

int PortOpen(int index, uint32_t rxQueue, uint32_t txQueue) {
    if (int r = PortCheck(index); r < 0) return r;
    // Opening may wait for the device (a connection); no other call on the port waits behind it.
    int systemError = 0;
    std::shared_ptr<SerialDevice> device = platform::OpenSerialDevice(index + 1, &systemError);
    PortRecord& p = Table()[index];
    std::unique_lock lock(p.m);
    // A device left in the record is released by its last user, outside the lock.
    std::shared_ptr<SerialDevice> previous = std::exchange(p.handle, std::move(device));
    if (previous) {
        lock.unlock();
        previous.reset();
        lock.lock();
    }
    if (!p.handle) return kPlatformFailed;
    SerialDevice& d = *p.handle;
    if (!d.GetTimeouts(p.SavedTimeouts)) return kPlatformFailed;
    p.settings.length = 28;
    if (!d.GetState(p.settings)) return kPlatformFailed;
    LineSettings& s = p.settings;
    const DefaultLineSettings& defaults = Defaults();
    s.baudRate = defaults.speed;
    s.byteSize = defaults.dataBits;
    s.parity = defaults.parity;
    s.stopBits = defaults.stopBits;
    s.binary = true;
    s.outxCtsFlow = false;
    s.outxDsrFlow = false;
    s.dtrControl = platform::kDtrControlDisable;
    s.dsrSensitivity = false;
    s.txContinueOnXoff = true;
    s.outX = false;
    s.inX = false;
    s.nullStrip = false;
    s.rtsControl = platform::kRtsControlDisable;
    s.abortOnError = false;
    s.xonChar = 0x11;
    s.xoffChar = 0x13;
    uint16_t limit = rxQueue <= 512 ? static_cast<uint16_t>(rxQueue / 4) : 128;
    s.xonLim = limit;
    s.xoffLim = limit;
    if (!d.SetState(s)) return kPlatformFailed;
    d.SetupQueues(rxQueue, txQueue);
    if (!d.EscapeFunction(Escape::ResetDev)) return kPlatformFailed;
    d.ClearErrors(nullptr, nullptr, nullptr);
    if (!d.SetEventMask(0x41)) return kPlatformFailed;
    CommTimeouts immediate{0xFFFFFFFFu, 0, 0, 0, 0};
    if (!d.SetTimeouts(immediate)) return kPlatformFailed;
    return 0;
}

int PortClose(int index) {
    std::shared_ptr<SerialDevice> closing;
    int r = WithPort(index, [&](PortRecord& p, SerialDevice& d) {
        d.SetTimeouts(p.SavedTimeouts);
        closing = std::move(p.handle);
        return 1;
    });
    // The device closes as its last user lets go of it (at once, unless a wait
    // on it is still running); the close of a handle we own cannot fail here.
    closing.reset();
    return r;
}

int PortSetSpeed(int index, uint32_t speed) {
    if (index == -1) {
        Defaults().speed = RateOf(speed);
        return 0;
    }
    return WithPort(index, [&](PortRecord& p, SerialDevice& d) {
        p.settings.baudRate = RateOf(speed);
        return d.SetState(p.settings) ? 1 : 0;
    });
}

int PortSetParms(int index, int parity, int stopBits, int dataBits) {
    if (index == -1) {
        DefaultLineSettings& defaults = Defaults();
        defaults.parity = static_cast<uint8_t>(parity);
        defaults.stopBits = static_cast<uint8_t>(stopBits);
        defaults.dataBits = static_cast<uint8_t>(dataBits);
        return 0;
    }
    return WithPort(index, [&](PortRecord& p, SerialDevice& d) {
        p.settings.parity = static_cast<uint8_t>(parity);
        p.settings.stopBits = static_cast<uint8_t>(stopBits);
        p.settings.byteSize = static_cast<uint8_t>(dataBits);
        if (d.SetState(p.settings)) Reassert(p);
        return 0;
    });
}

int PortSetFlow(int index, char mode) {
    return WithPort(index, [&](PortRecord& p, SerialDevice& d) {
        LineSettings& s = p.settings;
        switch (mode) {
            case 'H':
                s.outxCtsFlow = true;
                s.rtsControl = platform::kRtsControlHandshake;
                s.outX = s.inX = false;
                break;
            case 'N':
                s.outxCtsFlow = false;
                s.outX = s.inX = false;
                s.rtsControl = platform::kRtsControlDisable;
                break;
            case 'S':
                s.outX = s.inX = true;
                s.outxCtsFlow = false;
                s.rtsControl = platform::kRtsControlDisable;
                break;
            default:
                break;
        }
        if (d.SetState(s)) Reassert(p);
        return 0;
    });
}

int SioPutc(int index, uint8_t byte) {
    return WithPort(index, [&](PortRecord&, SerialDevice& d) {
        uint32_t written = 0;
        d.SetWriteLimit(WriteLimitMs());
        return d.Write(&byte, 1, &written) ? 0 : kPlatformFailed;
    });
}

int SioGetc(int index) {
    return WithPort(index, [&](PortRecord&, SerialDevice& d) {
        uint32_t rx = 0;
        d.ClearErrors(nullptr, &rx, nullptr);
        if (rx == 0) return kNoByte;
        uint8_t byte = 0;
        uint32_t got = 0;
        if (!d.Read(&byte, 1, &got)) return kPlatformFailed;
        if (got == 0) return kNoByte;
        return static_cast<int>(byte);
    });
}

namespace {
int LineAction(int index, char action, uint8_t bit, Escape set, Escape clear, int readValue) {
    return WithPort(index, [&](PortRecord& p, SerialDevice& d) {
        switch (action) {
            case 'S':
                p.LineFlags |= bit;
                return d.EscapeFunction(set) ? 1 : 0;
            case 'C':
                p.LineFlags &= static_cast<uint8_t>(~bit);
                return d.EscapeFunction(clear) ? 1 : 0;
            case 'R':
                return (p.LineFlags & bit) ? readValue : 0;
            default:
                return kBadAction;
        }
    });
}
}  // namespace

int PortDtr(int index, char action) { return LineAction(index, action, 1, Escape::SetDtr, Escape::ClrDtr, 1); }
int PortRts(int index, char action) { return LineAction(index, action, 2, Escape::SetRts, Escape::ClrRts, 2); }

int PortTxPurge(int index) {
    return WithPort(index, [](PortRecord&, SerialDevice& d) {
        d.Purge(0);
        return 0;
    });
}

int PortRxDrain(int index) {
    if (int r = WithPort(index, [](PortRecord&, SerialDevice&) { return 0; }); r < 0) return r;
    while (SioGetc(index) >= 0) {
    }
    return 0;
}

int PortTxCount(int index) {
    return WithPort(index, [](PortRecord&, SerialDevice& d) {
        uint32_t tx = 0;
        if (!d.ClearErrors(nullptr, nullptr, &tx)) return 0;
        return static_cast<int>(tx);
    });
}

int PortRxCount(int index) {
    return WithPort(index, [](PortRecord&, SerialDevice& d) {
        uint32_t rx = 0;
        if (!d.ClearErrors(nullptr, &rx, nullptr)) return 0;
        return static_cast<int>(rx);
    });
}

int SioStatus(int index, uint32_t mask) {
    return WithPort(index, [&](PortRecord&, SerialDevice& d) {
        uint32_t errors = 0;
        if (!d.ClearErrors(&errors, nullptr, nullptr)) errors = 0;
        return static_cast<int>(errors & mask);
    });
}

int PortCts(int index) {
    return WithPort(index, [](PortRecord&, SerialDevice& d) {
        uint32_t bits = 0;
        if (!d.ModemStatus(&bits)) bits = 0;
        return static_cast<int>(bits & platform::kModemCts);
    });
}

int PortDsr(int index) {
    return WithPort(index, [](PortRecord&, SerialDevice& d) {
        uint32_t bits = 0;
        if (!d.ModemStatus(&bits)) bits = 0;
        return static_cast<int>(bits & platform::kModemDsr);
    });
}

void PortWait(int index, uint32_t ms) {
    // The wait blocks, so it runs on its own reference outside the record's
    // lock: another thread may write meanwhile, and a close only drops the
    // table's reference.
    std::shared_ptr<SerialDevice> device;
    if (PortCheck(index) == 0) {
        PortRecord& p = Table()[index];
        std::lock_guard lock(p.m);
        device = p.handle;
    }
    if (!device) {
        platform::SleepMs(ms);
        return;
    }
    platform::GetClock().WaitDevice(*device, ms);
}

bool PortIsOpen(int index) {
    return WithPort(index, [](PortRecord&, SerialDevice&) { return 0; }) == 0;
}

const LineSettings* PortLineSettings(int index) {
    if (PortCheck(index) < 0) return nullptr;
    return &Table()[index].settings;
}

uint32_t DefaultSpeed() { return Defaults().speed; }

}  // namespace moldrin::serial
