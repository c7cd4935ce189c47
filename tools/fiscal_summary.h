// What a person wants to know of a fiscal file at a glance: how many records of
// each type, and the day's coupons, documents and payments in money. Shared by
// `moldrin summary` and `moldrin process`.
#pragma once
#include <string>

namespace moldrin::tools {

// The summary of the fiscal file at `path` (a drive or host path, in the
// library's Windows-1252 form), one line per subject, each line prefixed with
// `indent`; false when the file cannot be read.
bool SummarizeFiscalFile(const std::string& path, const std::string& indent, std::string* summary);

// The summary of the file's bytes.
std::string FiscalSummary(const std::string& bytes);

}  // namespace moldrin::tools
