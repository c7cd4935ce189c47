// The option parser every sub-command uses: getopt_long over a table built per
// command, errors as one line naming the argument. What the values mean is the commands'.
#include "tools/options.h"

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace moldrin::tools {

namespace {
constexpr int kFirstLong = 256;  // getopt_long values of the table's options, above any character
constexpr int kHelp = 'h';
}  // namespace

std::string UnreadableReason(const std::string& hostPath) {
    struct stat st;
    if (::stat(hostPath.c_str(), &st) != 0) return std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
    if (::access(hostPath.c_str(), R_OK) != 0) return std::strerror(errno);
    return {};
}

bool ParseWhole(const std::string& text, int64_t min, int64_t max, int64_t* out) {
    if (text.empty() || text.size() > 18) return false;
    std::size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size()) return false;
    for (std::size_t k = i; k < text.size(); ++k)
        if (text[k] < '0' || text[k] > '9') return false;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (errno || v < min || v > max) return false;
    *out = v;
    return true;
}

Options::Options(std::string command, std::string synopsis, std::string description)
    : command_(std::move(command)), synopsis_(std::move(synopsis)), description_(std::move(description)) {}

void Options::Flag(const char* name, const char* help, bool* out) {
    entries_.push_back(Entry{name, {}, help, out, {}});
}

void Options::Value(const char* name, const char* valueName, const char* help, Take take) {
    entries_.push_back(Entry{name, valueName, help, nullptr, std::move(take)});
}

void Options::Number(const char* name, const char* valueName, const char* help, int64_t min, int64_t max,
                     int64_t* out) {
    Value(name, valueName, help, [min, max, out](const std::string& v) -> std::string {
        if (ParseWhole(v, min, max, out)) return {};
        return "'" + v + "' is not a whole number from " + std::to_string(min) + " to " + std::to_string(max);
    });
}

void Options::Text(const char* name, const char* valueName, const char* help, std::string* out) {
    Value(name, valueName, help, [out](const std::string& v) -> std::string {
        *out = v;
        return {};
    });
}

void Options::Arguments(const char* names, int min, int max) {
    argNames_ = names;
    minArgs_ = min;
    maxArgs_ = max;
}

void Options::PrintUsage(std::FILE* out) const {
    std::fprintf(out, "usage: %s %s\n", command_.c_str(), synopsis_.c_str());
    std::size_t width = 10;
    for (const Entry& s : entries_) width = std::max(width, s.name.size() + s.valueName.size() + 3);
    for (const Entry& s : entries_) {
        std::string left = "--" + s.name + (s.valueName.empty() ? "" : " " + s.valueName);
        std::fprintf(out, "  %-*s  %s\n", static_cast<int>(width), left.c_str(), s.help.c_str());
    }
    std::fprintf(out, "  %-*s  %s\n", static_cast<int>(width), "-h, --help", "print this usage and do nothing else");
    if (!description_.empty()) std::fprintf(out, "%s", description_.c_str());
}

int Options::UsageError(const std::string& text) const {
    std::fprintf(stderr, "%s: %s (%s --help for usage)\n", command_.c_str(), text.c_str(), command_.c_str());
    return kExitUsage;
}

int Options::Failure(const std::string& text) const {
    std::fprintf(stderr, "%s: %s\n", command_.c_str(), text.c_str());
    return kExitFailure;
}

int Options::Parse(int argc, char** argv, std::vector<std::string>& args) {
    std::vector<option> table;
    table.reserve(entries_.size() + 2);
    for (std::size_t i = 0; i < entries_.size(); ++i)
        table.push_back(option{entries_[i].name.c_str(), entries_[i].flag ? no_argument : required_argument, nullptr,
                               kFirstLong + static_cast<int>(i)});
    table.push_back(option{"help", no_argument, nullptr, kHelp});
    table.push_back(option{nullptr, 0, nullptr, 0});

    // A fresh scan each time: the same process may parse more than one command line.
    optind = 0;
    opterr = 0;
    for (;;) {
        const int c = getopt_long(argc, argv, ":h", table.data(), nullptr);
        if (c == -1) break;
        if (c == kHelp) {
            PrintUsage(stdout);
            return kExitOk;
        }
        // The option just read; getopt_long has stepped past it (and past nothing else, since a
        // missing or refused option has no separate value).
        const char* seen = optind >= 1 && optind <= argc ? argv[optind - 1] : "";
        if (c == ':') return UsageError("option '" + std::string(seen).substr(0, std::string(seen).find('=')) +
                                        "' needs a value");
        if (c == '?') {
            if (optopt >= kFirstLong)
                return UsageError("option '--" + entries_[static_cast<std::size_t>(optopt - kFirstLong)].name +
                                  "' takes no value");
            if (optopt == kHelp && std::strncmp(seen, "--", 2) == 0) return UsageError("option '--help' takes no value");
            if (optopt) return UsageError("unknown option '-" + std::string(1, static_cast<char>(optopt)) + "'");
            return UsageError("unknown option '" + std::string(seen) + "'");
        }
        const Entry& entry = entries_[static_cast<std::size_t>(c - kFirstLong)];
        if (entry.flag) {
            *entry.flag = true;
            continue;
        }
        const std::string why = entry.take(optarg ? optarg : "");
        if (!why.empty()) return UsageError("--" + entry.name + ": " + why);
    }
    for (int i = optind; i < argc; ++i) args.emplace_back(argv[i]);
    const int n = static_cast<int>(args.size());
    if (n < minArgs_) return UsageError(argNames_.empty() ? "missing argument" : "missing " + argNames_);
    if (maxArgs_ >= 0 && n > maxArgs_) return UsageError("unexpected argument '" + args[static_cast<std::size_t>(maxArgs_)] + "'");
    return -1;
}

}  // namespace moldrin::tools
