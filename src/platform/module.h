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

// Makes ExecutablePath (and so the directory where the key file is looked for)
// answer `path` instead of the process's own file; empty puts the real one back.
// For tests and tools that run the library as if it were another application.
void OverrideExecutablePath(const std::string& path);
// The path set above; empty when none is.
std::string ExecutablePathOverride();

// Product name and product version from the library's version resource;
// empty strings when absent. Each is at most 511 characters.
void ReadVersion(std::string& name, std::string& version);

}  // namespace moldrin::platform
