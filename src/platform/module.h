// What the library knows about its own file: where it is and which version it is.
#pragma once
#include <string>

namespace moldrin::platform {

// Module handle recorded at load (Windows instance handle; unused elsewhere).
void SetModuleHandle(void* handle);
void* GetModuleHandle();

// Directory of the running executable, with a trailing separator, host form.
std::string ExecutableDirectory();

// Full path of the running executable (the process's module file name), host form.
std::string ExecutablePath();

// Product name and product version from the library's version resource;
// empty strings when absent. Each is at most 511 characters.
void ReadVersion(std::string& name, std::string& version);

}  // namespace moldrin::platform
