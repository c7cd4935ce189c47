// The full-disk fault: each faulted lane's drive c: on a small tmpfs of its own
// (only root may mount one), filled to the last byte for a while and then freed.
#pragma once
#include <string>

namespace moldrin::soak {

// Mounts a small tmpfs at `path`; empty when done, else why not.
std::string MountSmallDisk(const std::string& path);
void UnmountSmallDisk(const std::string& path);

// Fills the file system of `dir` with one file there, and takes it away again.
bool FillDisk(const std::string& dir);
void FreeDisk(const std::string& dir);

}  // namespace moldrin::soak
