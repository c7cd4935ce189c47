// The fiscal capture's frame: start, stop and the hand-off of each command.
#pragma once

namespace moldrin::capture {

int CaptureStart(int enabled);
int CaptureStop(int enabled);
// 2 not taken; 1 dealt with (reply in ReplyBuffer); 0 or less failed.
int CaptureFeed(char* command, int enabled);

}  // namespace moldrin::capture
