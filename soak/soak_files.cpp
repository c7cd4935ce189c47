// Host files of a soak run: whole reads, atomic writes, fault notes, the rate.
#include "soak/soak_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace moldrin::soak {

bool ReadWhole(const std::string& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == 0) errno = ENOENT;
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    *bytes = s.str();
    return true;
}

bool WriteAtomic(const std::string& path, const std::string& bytes) {
    const std::string temp = path + ".new";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    return ::close(fd) == 0 && written && std::rename(temp.c_str(), path.c_str()) == 0;
}

void FaultNotes::Add(Fault f) const { AddText(std::to_string(static_cast<int>(f))); }

void FaultNotes::AddText(const std::string& line) const {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t n = ::write(fd, text.data(), text.size());
    ::close(fd);
}

std::map<Fault, int> FaultNotes::Count(const std::string& path) {
    std::map<Fault, int> out;
    std::string bytes;
    if (!ReadWhole(path, &bytes)) return out;
    std::istringstream in(bytes);
    std::string line;
    while (std::getline(in, line)) {
        char* end = nullptr;
        const long k = std::strtol(line.c_str(), &end, 10);
        if (end != line.c_str() && *end == 0 && k > 0 && k < static_cast<long>(Fault::kCount))
            ++out[static_cast<Fault>(k)];
    }
    return out;
}

std::string ParseRate(const std::string& text, double* rate) {
    const bool percent = !text.empty() && text.back() == '%';
    const std::string number = percent ? text.substr(0, text.size() - 1) : text;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(number.c_str(), &end);
    if (number.empty() || *end != 0 || errno != 0) return "'" + text + "' is not a number (0.01 or 1%)";
    if (percent) v /= 100;
    if (!(v >= 0 && v <= 1)) return "'" + text + "' is not a rate from 0 to 1 (or 0% to 100%)";
    *rate = v;
    return {};
}

}  // namespace moldrin::soak
