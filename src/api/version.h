// The version text: product name, a blank, product version, as the library's
// version resource gives them.
#pragma once
#include <cstddef>

namespace moldrin::api {

// Writes the text into buffer (cut to size); at most 1024 characters.
void VersionText(char* buffer, std::size_t size);

}  // namespace moldrin::api
