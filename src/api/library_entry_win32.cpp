// The DLL's entry point: the process attach and detach notifications of Windows.
// What attach and detach do to the session is the session's business.
#include "api/session.h"
#include "platform/sync.h"

namespace {
// The notification codes the system passes to the entry point.
constexpr unsigned long kProcessDetach = 0;
constexpr unsigned long kProcessAttach = 1;
}  // namespace

// The runtime's start-up code calls this by name once it has set itself up; the
// types are those of the system's declaration (BOOL, HINSTANCE, DWORD, LPVOID).
extern "C" int __stdcall DllMain(void* instance, unsigned long reason, void* reserved) {
    if (reason == kProcessAttach) {
        moldrin::api::ProcessAttach(instance);
    } else if (reason == kProcessDetach) {
        // At process exit (reserved not null) every other thread, the capture
        // worker among them, is already gone and cannot release anything: the
        // closing session must not wait for it. On FreeLibrary the worker still
        // runs and holds its own reference to the library, so it stops as usual.
        if (reserved) moldrin::platform::SetSoleThread(true);
        moldrin::api::ProcessDetach();
    }
    return 1;
}
