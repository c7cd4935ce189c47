// The session: opening and closing it, the API lock, and what happens when
// the library is loaded and unloaded.
#pragma once

namespace moldrin::api {

int ApiLock();
void ApiUnlock();

int OpenSession(int port, unsigned timeout, unsigned logMode, int dialogs);
int CloseSession();

void ProcessAttach(void* moduleHandle);
void ProcessDetach();

}  // namespace moldrin::api
