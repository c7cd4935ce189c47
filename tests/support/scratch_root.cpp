#include "support/scratch_root.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/files.h"
#include "store/rfd_file.h"

namespace moldrin::testing {

ScratchRoot::ScratchRoot() {
    if (const char* p = std::getenv("MOLDRIN_ROOT")) {
        hadPrevious_ = true;
        previous_ = p;
    }
    std::string tmpl = (std::filesystem::temp_directory_path() / "moldrin-test-XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    path_ = made ? made : tmpl;
    setenv("MOLDRIN_ROOT", path_.c_str(), 1);
    // What a full disk held back under another root is not this one's.
    capture::RfdDropHeld();
}

ScratchRoot::~ScratchRoot() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    if (hadPrevious_) setenv("MOLDRIN_ROOT", previous_.c_str(), 1);
    else unsetenv("MOLDRIN_ROOT");
}

std::string ScratchRoot::Host(const char* windowsPath) const { return platform::HostPath(windowsPath); }

std::string ScratchRoot::Read(const char* windowsPath) const {
    std::ifstream in(Host(windowsPath), std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool ScratchRoot::Exists(const char* windowsPath) const { return std::filesystem::exists(Host(windowsPath)); }

void ScratchRoot::Write(const char* windowsPath, const std::string& bytes) const {
    std::filesystem::path p = Host(windowsPath);
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

}  // namespace moldrin::testing
