// Copying and appending the assembly's temporary files, each failure shown to
// the operator. Which files are copied, and when, is the final assembly's.
#pragma once

namespace moldrin::fiscalfile {

// Copies source over destination (created afresh). 1 when every step worked, else 0.
int WorkFileCopy(const char* source, const char* destination);
// Appends source to the end of destination, which must exist. 1 or 0 likewise.
int WorkFileAppend(const char* source, const char* destination);

}  // namespace moldrin::fiscalfile
