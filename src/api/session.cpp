// Session open and close (being written).
#include "api/session.h"

namespace moldrin::api {
void ProcessAttach(void*) {}
void ProcessDetach() {}
}  // namespace moldrin::api
