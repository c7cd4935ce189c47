// The service's token for addresses off the loopback: made at the first start
// with the system's random source, kept in a file only its owner may read.
#pragma once
#include <string>

namespace moldrin::serve {

// The token kept in `hostPath`, made there when missing. False, with the reason, when it
// cannot be made or read, or when the file may be read by others than its owner.
bool LoadOrMakeToken(const std::string& hostPath, std::string* token, std::string* why);

}  // namespace moldrin::serve
