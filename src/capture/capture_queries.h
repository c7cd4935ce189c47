// The capture's own status queries to the printer: the exchange under the
// capture's temporary settings, the four queries with their attempts and
// acceptance rules, each recorded in the RFD file. The cache is status_cache's.
#pragma once

namespace moldrin::capture {

// TransmitFrame and ReceiveRecord with a 15-second time-out and the link's
// dialogs off, the session's settings put back afterwards.
int CaptureSend(const char* frame);
int CaptureReceive(char* buffer);  // buffer: at least 129 bytes

// Each writes the accepted record (128 characters) or the failure reply
// (".-P002}" not sent, ".-P006}" no acceptable answer) into out (at least 129 bytes).
// 1 accepted; 0 after 5 attempts; a negative receive or send result.
int QueryStatus27(char type, char* out);
// The code of the accepted record (positions 2 to 5) when not 0, else 1;
// failures as QueryStatus27.
int QueryStatus28(char* out);
// Typed status 28 ("B" to "F"; any other type is QueryStatus28): 1 when the
// printer answered the typed record, 0 when it answered its plain status (or
// another type), -2 after 5 attempts; negative receive and send results.
int QueryStatus28Type(char type, char* out);
// 1 accepted; -1 after 5 attempts; negative receive and send results.
int QueryStatus29(char type, char* out);

}  // namespace moldrin::capture
