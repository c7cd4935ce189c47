// The fiscal capture's frame: start, stop, the capture semaphore between the
// application's calls and the capture worker, and the hand-off of each command.
#pragma once
#include <cstdint>

namespace moldrin::capture {

// 1 done (or the switch is not 1); -1 the capture could not start.
int CaptureStart(int enabled);
// Always 1; the worker has ended when it returns.
int CaptureStop(int enabled);
// 2 not taken; 1 dealt with (reply in ReplyBuffer); 0 or less failed.
int CaptureFeed(char* command, int enabled);

// The fast writer's bytes, sent as the capture's queries are: with the capture
// semaphore held and the reply still owed to the capture read first, so that
// they neither go out between a query and its reply nor clear that reply
// away. The semaphore is kept `holdMs` longer, while the printer acts on them.
// What the fast writer returned; 0 when the capture could not be had. Safe
// without the API lock.
int CaptureFastSend(const char* bytes, uint32_t count, uint32_t holdMs = 0);

// True while an application's command is inside the capture (waiting for it,
// intercepted, or having its day's fiscal file made).
bool CaptureBusy();

// The capture semaphore, for an application call: 0 taken, -1 failed.
int CaptureLock();
void CaptureUnlock();

}  // namespace moldrin::capture
