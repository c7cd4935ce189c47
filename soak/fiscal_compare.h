// The soak's verdict on the fiscal files: every file of the reference run present
// in the faulted run, equal to it line for line but for the EAD signature line,
// and every signature good.
#pragma once
#include <string>
#include <vector>

namespace moldrin::soak {

struct Comparison {
    int referenceFiles = 0, faultedFiles = 0, verified = 0;
    std::vector<std::string> mismatches;  // one line each: the file and its first differing line
};

// The finished fiscal files of a MOLDRIN_ROOT, by name.
std::vector<std::string> FiscalFiles(const std::string& root);
std::string FinishedDirectory(const std::string& root);

// Adds what lane `label`'s two roots show to `out`; `key` checks the signatures.
void CompareLane(const std::string& label, const std::string& referenceRoot, const std::string& faultedRoot,
                 const std::string& key, Comparison* out);

}  // namespace moldrin::soak
