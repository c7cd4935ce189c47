// The records of one capture (RFD) file decoded to their text lines, each judged
// good, failing its check value, or undecodable. Shared by `moldrin rfd` and `moldrin serve`.
#pragma once
#include <string>
#include <vector>

namespace moldrin::tools {

struct RfdRecord {
    enum class Kind { Good, BadCheck, Undecodable, Cut };
    Kind kind = Kind::Good;
    std::string line;   // the decoded text (Windows-1252); empty when undecodable
    int bytes = 0;      // the record's size in the file
};

// False, with the reason, when the file (a drive path) cannot be read.
bool ReadRfdRecords(const char* path, std::vector<RfdRecord>* records, std::string* why);

}  // namespace moldrin::tools
