// What the capture does with one command of the application: pass it through,
// answer or refuse it itself, or record it with its reply in the RFD file.
// Runs under the capture semaphore; taking it is the frame's (capture.h).
#pragma once

namespace moldrin::capture {

// 1 done (ReplyBuffer holds the printer's reply or the capture's own); 0 failed
// (".-P006}" or the last reply read); -1 the printer refused the command with
// a short reply; -2 the exchange failed; for a pass-through command, the
// exchange's own result.
int InterceptCommand(char* command);

}  // namespace moldrin::capture
