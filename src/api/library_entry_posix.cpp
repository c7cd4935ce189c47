// Load and unload of the shared library on posix: what the process attach and
// detach notifications do on Windows.
#include "api/session.h"

namespace {
__attribute__((constructor)) void MoldrinLoad() { moldrin::api::ProcessAttach(nullptr); }
__attribute__((destructor)) void MoldrinUnload() { moldrin::api::ProcessDetach(); }
}  // namespace
