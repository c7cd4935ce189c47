// The exported session calls, the version query and the operator hook. The
// command calls are exported from commands.cpp.
#include "moldrin.h"

#include "api/session.h"
#include "api/version.h"
#include "platform/operator.h"

extern "C" {

MOLDRIN_API int MOLDRIN_STDCALL ECFOpen(int port, unsigned int timeoutSeconds, unsigned int logMode,
                                        int showDialogs) {
    return moldrin::api::OpenSession(port, timeoutSeconds, logMode, showDialogs);
}

MOLDRIN_API int MOLDRIN_STDCALL ECFClose(void) { return moldrin::api::CloseSession(); }

MOLDRIN_API void MOLDRIN_STDCALL SistemaGetVersion(char* buffer) {
    // The caller promises room for the whole text (at most 1024 characters and the NUL).
    if (buffer) moldrin::api::VersionText(buffer, 1025);
}

MOLDRIN_API void MOLDRIN_STDCALL ECFSetOperator(const MoldrinOperator* op) { moldrin::platform::SetOperatorHooks(op); }

}  // extern "C"
