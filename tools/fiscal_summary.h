// What a person wants to know of a fiscal file at a glance: how many records of
// each type, and the day's coupons, documents and payments in money. Shared by
// `moldrin summary` and `moldrin process`.
#pragma once
#include <string>

namespace moldrin::tools {

// The summary of the fiscal file at `path` (a drive or host path, in the
// library's Windows-1252 form), one line per subject, each line prefixed with
// `indent`; false, with the reason in `why`, when the file cannot be read or
// is not a fiscal file.
bool SummarizeFiscalFile(const std::string& path, const std::string& indent, std::string* summary,
                         std::string* why = nullptr);

// Empty when the bytes are a fiscal file's: lines of the record types, each of
// its type's width and closed by CR LF; else what is wrong, naming the first
// line that is not a record.
std::string FiscalFileFault(const std::string& bytes);

// The summary of the file's bytes.
std::string FiscalSummary(const std::string& bytes);

}  // namespace moldrin::tools
