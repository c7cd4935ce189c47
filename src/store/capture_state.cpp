// Emptying the capture's state between sessions, printers and days. The state
// itself is declared in capture_state.h; who resets it, and when, is the caller's.
#include "store/capture_state.h"

#include <cstring>

#include "store/registration.h"

namespace moldrin::capture {

void ResetCaptureState() {
    // The per-command clock flag and the pending status-1 request are the
    // interception's and survive; everything learnt from the printer goes.
    // The file's day and the day seen closed survive too: a refresh or a
    // processing run must not send the next records to another day's file.
    const CaptureData kept = g_capture;
    g_capture = CaptureData{};
    g_capture.clockMessageShown = kept.clockMessageShown;
    g_capture.pendingStatus1 = kept.pendingStatus1;
    g_capture.savedCommand17 = kept.savedCommand17;
    g_capture.fileDay = kept.fileDay;
    g_capture.closedDate = kept.closedDate;
    g_capture.openingDay = kept.openingDay;
    g_capture.ModelLetter = static_cast<char>(0xFF);
    g_registration = RegistrationRecord{};
}

bool FiscalDayClosed() {
    return g_capture.closedDate[0] && std::strncmp(g_capture.fiscalDate.data(), g_capture.closedDate.data(), 6) == 0;
}

}  // namespace moldrin::capture
