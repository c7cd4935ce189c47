// Puts the process-wide state of the library back as it is at load: every
// port closed, the session fields at their initial values, no semaphore.
#pragma once

namespace moldrin::testing {

void ResetLibraryState();

}  // namespace moldrin::testing
