// A fresh MOLDRIN_ROOT per test, removed afterwards.
#pragma once
#include <string>

namespace moldrin::testing {

class ScratchRoot {
public:
    ScratchRoot();
    ~ScratchRoot();
    const std::string& path() const { return path_; }
    // Host path of a Windows path under this root.
    std::string Host(const char* windowsPath) const;
    std::string Read(const char* windowsPath) const;  // whole file, "" when missing
    bool Exists(const char* windowsPath) const;
    void Write(const char* windowsPath, const std::string& bytes) const;  // creates directories

private:
    std::string path_;
    std::string previous_;
    bool hadPrevious_ = false;
};

}  // namespace moldrin::testing
