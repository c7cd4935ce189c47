// How the printer link waits on the line: deadlines on the tick counter, the
// capture's give-way flags, and blocking on the port between polls.
#pragma once
#include <algorithm>
#include <cstdint>

#include "session/session_state.h"
#include "link/transfer_settings.h"
#include "platform/clock.h"
#include "serial/port_table.h"

namespace moldrin::link::detail {

// A wait never blocks longer than this, so that the capture's flags, which no
// device wakes us for, are seen within a few milliseconds.
constexpr uint32_t kWaitSliceMs = 10;

inline uint32_t TimeoutMs() {
    if (const TransferSettings* own = ThreadTransferSettings()) return own->timeoutSeconds * 1000u;
    return g_session.ReadTimeoutSeconds * 1000u;
}

inline uint32_t DeadlineIn(uint32_t ms) { return platform::TickMs() + ms; }

inline bool Passed(uint32_t deadline) { return platform::TickReached(platform::TickMs(), deadline); }

// The capture worker gives way at once when it is being stopped or when an
// application call is waiting for the port.
// The library being unloaded ends every transfer the same way.
inline bool Unloading() { return g_session.Unloading.load(std::memory_order_relaxed) != 0; }
inline bool Abandoned() {
    return g_session.CaptureStopRequest.load(std::memory_order_relaxed) != 0 ||
           g_session.ApplicationWaiting.load(std::memory_order_relaxed) != 0 || Unloading();
}

// Blocks until the port may have news or the deadline (or the slice) is up.
inline void WaitForLine(uint32_t deadline, uint32_t sliceMs = kWaitSliceMs) {
    uint32_t left = platform::TickRemaining(platform::TickMs(), deadline);
    if (left == 0) return;
    serial::PortWait(g_session.PortIndex, std::min(left, sliceMs));
}

// Shows a hardware-error box as the application asked for boxes, then leaves
// the dialog switch where the current caller wants it.
void HardwareErrorBox(const char* text);

}  // namespace moldrin::link::detail
