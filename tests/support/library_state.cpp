#include "support/library_state.h"

#include "session/session_state.h"
#include "platform/sync.h"
#include "serial/port_table.h"

namespace moldrin::testing {

void ResetLibraryState() {
    for (int i = 0; i < serial::kPortCount; ++i) serial::PortClose(i);
    serial::PortSetSpeed(-1, 19200);
    serial::PortSetParms(-1, 0, 0, 8);
    SessionState& s = g_session;
    if (s.ApiSemaphore) platform::SemaphoreClose(s.ApiSemaphore);
    s.ApiSemaphore = 0;
    s.PortIndex = -1;
    s.ReadTimeoutSeconds = 10;
    s.ShowDialogs = 0;
    s.DialogsEnabled = 1;
    s.DialogsRestore = 1;
    s.LogMode = 500;
    s.CaptureEnabled = 1;
    s.LastPortStatus = 0;
    s.CtsTestEnabled = 0;
    s.LineSpeed = 0;
    s.ReplyBuffer.fill(0);
    s.CommandBuffer.fill(0);
    s.TaxRateTable.fill(0);
    s.LogPath.fill(0);
    s.ModelGate = 0;
    s.LinkModelLetter = 0;
    s.CaptureStopRequest = 0;
    s.ApplicationWaiting = 0;
    s.Unloading = 0;
}

}  // namespace moldrin::testing
