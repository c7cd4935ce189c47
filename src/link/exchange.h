// The ordinary command exchange: validate a frame, send it, collect its reply
// record(s) into the session's reply buffer.
#pragma once

namespace moldrin::link {

// Length of the last reply record (> 0), or -1; ReplyBuffer holds the answer either way.
int ExchangeCommand(char* command);

// The synthetic replies.
inline constexpr const char kReplyNotDelivered[] = ".-P002}";
inline constexpr const char kReplyNoAnswer[] = ".-P006}";

}  // namespace moldrin::link
