// Emptying the capture's state between sessions, printers and days. The state
// itself is declared in capture_state.h; who resets it, and when, is the caller's.
#include "capture/capture_state.h"

#include "capture/registration.h"

namespace moldrin::capture {

void ResetCaptureState() {
    // The per-command clock flag and the pending status-1 request are the
    // interception's and survive; everything learnt from the printer goes.
    const bool clockShown = g_capture.clockMessageShown;
    const bool pending = g_capture.pendingStatus1;
    const auto saved17 = g_capture.savedCommand17;
    g_capture = CaptureData{};
    g_capture.clockMessageShown = clockShown;
    g_capture.pendingStatus1 = pending;
    g_capture.savedCommand17 = saved17;
    g_capture.ModelLetter = static_cast<char>(0xFF);
    g_registration = RegistrationRecord{};
}

}  // namespace moldrin::capture
