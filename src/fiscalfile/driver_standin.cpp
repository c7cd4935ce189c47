// Stand-in for the processing driver until the fiscal file generation is
// built: no capture file is processed, and the caller is told so.
#include "fiscalfile/driver.h"

namespace moldrin::fiscalfile {

int ProcessRfdFile(const char*) { return 0; }

}  // namespace moldrin::fiscalfile
