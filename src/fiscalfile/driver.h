// The processing driver: replaying one capture file into that day's fiscal
// file. The capture decides when to call it; the records are written elsewhere.
#pragma once

namespace moldrin::fiscalfile {

// Produces the fiscal file of the capture file at `path` (a Windows path).
// 1 or more when it was produced, below 1 when not.
int ProcessRfdFile(const char* path);

}  // namespace moldrin::fiscalfile
