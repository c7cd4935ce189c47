// The header records of the fiscal file: E00 (application), E01 (printer),
// E02 (user), E12 (Z reduction) and the E13 group (partial totalizers).
// Where they go in the file is the final assembly's.
#pragma once
#include <cstdint>

namespace moldrin::fiscalfile {

// Each writes its record(s) into the open file; a failed write is shown to
// the operator and ends the writer, which then answers false.
bool WriteE00(intptr_t handle);
bool WriteE01(intptr_t handle);
bool WriteE02(intptr_t handle);
bool WriteE12(intptr_t handle);
bool WriteE13(intptr_t handle);

}  // namespace moldrin::fiscalfile
