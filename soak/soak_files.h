// The small files a soak run keeps on the host: whole reads, atomic writes, the
// notes each process leaves of the faults it met, and the fault rate option.
#pragma once
#include <map>
#include <string>

#include "soak/fault_plan.h"

namespace moldrin::soak {

// False (errno set) when the file cannot be read.
bool ReadWhole(const std::string& path, std::string* bytes);
// Through a temporary file and a rename: a kill leaves the old or the new.
bool WriteAtomic(const std::string& path, const std::string& bytes);

// One line per fault met, appended.
class FaultNotes {
public:
    explicit FaultNotes(std::string path) : path_(std::move(path)) {}
    void Add(Fault f) const;
    void AddText(const std::string& line) const;
    // Every fault noted in the file, by kind.
    static std::map<Fault, int> Count(const std::string& path);

private:
    std::string path_;
};

// "0.01" or "1%": faults per command, 0 to 1. Empty when taken, else why not.
std::string ParseRate(const std::string& text, double* rate);

}  // namespace moldrin::soak
