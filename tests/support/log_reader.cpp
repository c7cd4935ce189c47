#include "support/log_reader.h"

#include <algorithm>
#include <filesystem>

#include "session/session_state.h"

namespace moldrin::testing {

namespace {
std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while ((pos = text.find("\r\n", pos)) != std::string::npos) {
        std::size_t start = pos + 2;
        std::size_t next = text.find("\r\n", start);
        std::string line = text.substr(start, next == std::string::npos ? std::string::npos : next - start);
        // "DD/MM/YYYY HH:MM:SS == " is 23 characters.
        if (line.size() >= 23 && line.compare(19, 4, " == ") == 0) line = line.substr(23);
        lines.push_back(line);
        pos = start;
    }
    return lines;
}
}  // namespace

std::vector<std::string> LogLines(const ScratchRoot& root, const char* windowsPath) {
    return Split(root.Read(windowsPath));
}

std::vector<std::string> CurrentLogLines(const ScratchRoot& root) {
    return LogLines(root, g_session.LogPath.data());
}

std::vector<std::string> AllLogLines(const ScratchRoot& root) {
    std::vector<std::string> all;
    std::filesystem::path dir = root.Host("c:\\TEMP");
    if (!std::filesystem::exists(dir)) return all;
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    for (auto& n : names) {
        auto lines = LogLines(root, ("c:\\TEMP\\" + n).c_str());
        all.insert(all.end(), lines.begin(), lines.end());
    }
    return all;
}

}  // namespace moldrin::testing
