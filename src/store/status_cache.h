// The capture's status cache: answering status queries from it and storing the
// replies that come from the printer or from a replayed capture file. Filling
// it by querying the printer is the live capture's (capture/status_refresh.h).
#pragma once

namespace moldrin::capture {

// Copies the cached reply to "\x1B.<family><type>}" into ReplyBuffer when the
// cache may answer it; 1 answered, 0 not.
int CacheAnswer(int family, char type);
// Stores a status reply of the application's own query or of a replayed
// capture line (family 27, 28 or 29).
void CacheStore(int family, char type, const char* reply);

// The counter of a status-1 reply and the factory number of a status-3 reply,
// taken into the capture state.
void TakeCounter(const char* status1);
void TakeFactoryNumber(const char* status3);

}  // namespace moldrin::capture
