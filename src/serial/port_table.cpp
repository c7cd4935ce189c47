// The sixteen-port table and the raw operations on its ports. It turns the
// device's answers into the driver's small codes and leaves every message to
// the checked operations and the printer link.
#include "serial/port_table.h"

#include <array>
#include <memory>
#include <mutex>

#include "platform/clock.h"

namespace moldrin::serial {

using platform::CommTimeouts;
using platform::Escape;
using platform::LineSettings;
using platform::SerialDevice;

namespace {

struct PortRecord {
    std::unique_ptr<SerialDevice> handle;  // null = closed
    uint8_t LineFlags = 0;                 // bit 0 DTR set, bit 1 RTS set
    LineSettings settings;
    CommTimeouts SavedTimeouts;
};

struct DefaultLineSettings {
    uint32_t speed = 19200;
    uint8_t dataBits = 8;
    uint8_t parity = 0;
    uint8_t stopBits = 0;
};

std::array<PortRecord, kPortCount>& Table() {
    static std::array<PortRecord, kPortCount> table;
    return table;
}
DefaultLineSettings g_defaults;

constexpr uint32_t kSpeedCodes[10] = {110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

uint32_t RateOf(uint32_t v) { return v <= 9 ? kSpeedCodes[v] : v; }

// Index check, then the open check, in that order; 0 when the port may be used.
int Usable(int index) {
    if (PortCheck(index) < 0) return kNoSuchPort;
    if (!Table()[index].handle) return kPortNotOpen;
    return 0;
}

// Puts DTR and RTS back as last set through PortDtr/PortRts.
void Reassert(PortRecord& p) {
    if (p.LineFlags & 1) p.handle->EscapeFunction(Escape::SetDtr);
    if (p.LineFlags & 2) p.handle->EscapeFunction(Escape::SetRts);
}

}  // namespace

int PortCheck(int index) {
    // The table starts closed with clear flags: its static initialisation is the first-use set-up.
    return (index >= 0 && index < kPortCount) ? 0 : kNoSuchPort;
}

int PortOpen(int index, uint32_t rxQueue, uint32_t txQueue) {
    if (int r = PortCheck(index); r < 0) return r;
    PortRecord& p = Table()[index];
    int systemError = 0;
    p.handle = platform::OpenSerialDevice(index + 1, &systemError);
    if (!p.handle) return kPlatformFailed;
    SerialDevice& d = *p.handle;
    if (!d.GetTimeouts(p.SavedTimeouts)) return kPlatformFailed;
    p.settings.length = 28;
    if (!d.GetState(p.settings)) return kPlatformFailed;
    LineSettings& s = p.settings;
    s.baudRate = g_defaults.speed;
    s.byteSize = g_defaults.dataBits;
    s.parity = g_defaults.parity;
    s.stopBits = g_defaults.stopBits;
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
    if (int r = Usable(index); r < 0) return r;
    PortRecord& p = Table()[index];
    p.handle->SetTimeouts(p.SavedTimeouts);
    // The device closes as it is destroyed; the close of a handle we own cannot fail here.
    p.handle.reset();
    return 1;
}

int PortSetSpeed(int index, uint32_t speed) {
    if (index == -1) {
        g_defaults.speed = RateOf(speed);
        return 0;
    }
    if (int r = Usable(index); r < 0) return r;
    PortRecord& p = Table()[index];
    p.settings.baudRate = RateOf(speed);
    return p.handle->SetState(p.settings) ? 1 : 0;
}

int PortSetParms(int index, int parity, int stopBits, int dataBits) {
    if (index == -1) {
        g_defaults.parity = static_cast<uint8_t>(parity);
        g_defaults.stopBits = static_cast<uint8_t>(stopBits);
        g_defaults.dataBits = static_cast<uint8_t>(dataBits);
        return 0;
    }
    if (int r = Usable(index); r < 0) return r;
    PortRecord& p = Table()[index];
    p.settings.parity = static_cast<uint8_t>(parity);
    p.settings.stopBits = static_cast<uint8_t>(stopBits);
    p.settings.byteSize = static_cast<uint8_t>(dataBits);
    if (p.handle->SetState(p.settings)) Reassert(p);
    return 0;
}

int PortSetFlow(int index, char mode) {
    if (int r = Usable(index); r < 0) return r;
    PortRecord& p = Table()[index];
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
    if (p.handle->SetState(s)) Reassert(p);
    return 0;
}

int SioPutc(int index, uint8_t byte) {
    if (int r = Usable(index); r < 0) return r;
    uint32_t written = 0;
    return Table()[index].handle->Write(&byte, 1, &written) ? 0 : kPlatformFailed;
}

int SioGetc(int index) {
    if (int r = Usable(index); r < 0) return r;
    SerialDevice& d = *Table()[index].handle;
    uint32_t rx = 0;
    d.ClearErrors(nullptr, &rx, nullptr);
    if (rx == 0) return kNoByte;
    uint8_t byte = 0;
    uint32_t got = 0;
    if (!d.Read(&byte, 1, &got)) return kPlatformFailed;
    if (got == 0) return kNoByte;
    return byte;
}

namespace {
int LineAction(int index, char action, uint8_t bit, Escape set, Escape clear, int readValue) {
    if (int r = Usable(index); r < 0) return r;
    PortRecord& p = Table()[index];
    switch (action) {
        case 'S':
            p.LineFlags |= bit;
            return p.handle->EscapeFunction(set) ? 1 : 0;
        case 'C':
            p.LineFlags &= static_cast<uint8_t>(~bit);
            return p.handle->EscapeFunction(clear) ? 1 : 0;
        case 'R':
            return (p.LineFlags & bit) ? readValue : 0;
        default:
            return kBadAction;
    }
}
}  // namespace

int PortDtr(int index, char action) { return LineAction(index, action, 1, Escape::SetDtr, Escape::ClrDtr, 1); }
int PortRts(int index, char action) { return LineAction(index, action, 2, Escape::SetRts, Escape::ClrRts, 2); }

int PortTxPurge(int index) {
    if (int r = Usable(index); r < 0) return r;
    Table()[index].handle->Purge(0);
    return 0;
}

int PortRxDrain(int index) {
    if (int r = Usable(index); r < 0) return r;
    while (SioGetc(index) >= 0) {
    }
    return 0;
}

int PortTxCount(int index) {
    if (int r = Usable(index); r < 0) return r;
    uint32_t tx = 0;
    if (!Table()[index].handle->ClearErrors(nullptr, nullptr, &tx)) return 0;
    return static_cast<int>(tx);
}

int PortRxCount(int index) {
    if (int r = Usable(index); r < 0) return r;
    uint32_t rx = 0;
    if (!Table()[index].handle->ClearErrors(nullptr, &rx, nullptr)) return 0;
    return static_cast<int>(rx);
}

int SioStatus(int index, uint32_t mask) {
    if (int r = Usable(index); r < 0) return r;
    uint32_t errors = 0;
    if (!Table()[index].handle->ClearErrors(&errors, nullptr, nullptr)) errors = 0;
    return static_cast<int>(errors & mask);
}

int PortCts(int index) {
    if (int r = Usable(index); r < 0) return r;
    uint32_t bits = 0;
    if (!Table()[index].handle->ModemStatus(&bits)) bits = 0;
    return static_cast<int>(bits & platform::kModemCts);
}

int PortDsr(int index) {
    if (int r = Usable(index); r < 0) return r;
    uint32_t bits = 0;
    if (!Table()[index].handle->ModemStatus(&bits)) bits = 0;
    return static_cast<int>(bits & platform::kModemDsr);
}

void PortWait(int index, uint32_t ms) {
    if (Usable(index) < 0) {
        platform::SleepMs(ms);
        return;
    }
    platform::GetClock().WaitDevice(*Table()[index].handle, ms);
}

bool PortIsOpen(int index) { return Usable(index) == 0; }

const LineSettings* PortLineSettings(int index) {
    if (PortCheck(index) < 0) return nullptr;
    return &Table()[index].settings;
}

uint32_t DefaultSpeed() { return g_defaults.speed; }

}  // namespace moldrin::serial
