// The session: opening and closing it, the API lock, and what happens when
// the library is loaded and unloaded.
#pragma once
#include <cstdint>

namespace moldrin::api {

int ApiLock();
void ApiUnlock();
// The API lock within a time: 0 taken; -1 no session's lock to take (none
// exists, or the library is unloading); -2 the time ran out.
int ApiLockWithin(uint32_t timeoutMs);

int OpenSession(int port, unsigned timeout, unsigned logMode, int dialogs);
int CloseSession();

void ProcessAttach(void* moduleHandle);
void ProcessDetach();

}  // namespace moldrin::api
