// The fiscal capture's frame: start, stop, the capture semaphore between the
// application's calls and the capture worker, and the hand-off of each command.
#pragma once

namespace moldrin::capture {

// 1 done (or the switch is not 1); -1 the capture could not start.
int CaptureStart(int enabled);
// Always 1; the worker has ended when it returns.
int CaptureStop(int enabled);
// 2 not taken; 1 dealt with (reply in ReplyBuffer); 0 or less failed.
int CaptureFeed(char* command, int enabled);

// The capture semaphore, for an application call: 0 taken, -1 failed.
int CaptureLock();
void CaptureUnlock();

}  // namespace moldrin::capture
