// Copying and appending the assembly's temporary files, each failure shown to
// the operator. Which files are copied, and when, is the final assembly's.
#pragma once
#include <cstdint>

#include "log/file_helpers.h"

namespace moldrin::fiscalfile {

inline constexpr const char kProcessingLockFile[] = "c:\\TALMA\\RFD\\TALMA.LCK";
// How long a processing waits for another one on the same folder.
inline constexpr uint32_t kProcessingLockWaitMs = 60000;

// One processing at a time on c:\TALMA\RFD, across programs: the work files have
// fixed names, and two runs would write each other's days. Held from
// construction, when taken, to destruction. The folder must exist.
class ProcessingLock {
public:
    explicit ProcessingLock(uint32_t waitMs = kProcessingLockWaitMs);
    ~ProcessingLock();
    ProcessingLock(const ProcessingLock&) = delete;
    ProcessingLock& operator=(const ProcessingLock&) = delete;
    bool opened() const { return handle_ != log::kInvalidFile; }
    bool held() const { return held_; }

private:
    log::FileHandle handle_ = log::kInvalidFile;
    bool held_ = false;
};

// Copies source over destination (created afresh). 1 when every step worked, else 0.
int WorkFileCopy(const char* source, const char* destination);
// Appends source to the end of destination, which must exist. 1 or 0 likewise.
int WorkFileAppend(const char* source, const char* destination);

}  // namespace moldrin::fiscalfile
