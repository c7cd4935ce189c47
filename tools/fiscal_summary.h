// What a person wants to know of a fiscal file at a glance: how many records of
// each type, and the day's coupons, documents and payments in money. Shared by
// `moldrin summary` and `moldrin process`.
#pragma once
#include <cstdio>
#include <string>

namespace moldrin::tools {

// Reads the fiscal file at `path` (a drive or host path, in the library's
// Windows-1252 form) and prints its summary to `out`; false (nothing printed)
// when the file cannot be read.
bool PrintFiscalSummary(const std::string& path, std::FILE* out);

// The summary of the file's bytes.
std::string FiscalSummary(const std::string& bytes);

}  // namespace moldrin::tools
