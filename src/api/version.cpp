// The version text from the version reader of the platform.
#include "api/version.h"

#include <string>

#include "platform/module.h"

namespace moldrin::api {

void VersionText(char* buffer, std::size_t size) {
    if (!buffer || size == 0) return;
    std::string name, version;
    platform::ReadVersion(name, version);
    std::string text = name.substr(0, 511) + " " + version.substr(0, 511);
    std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
    text.copy(buffer, n);
    buffer[n] = 0;
}

}  // namespace moldrin::api
