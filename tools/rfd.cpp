// "moldrin rfd decode FILE...": prints the records of capture files as their
// text lines and counts the good, the failed checks and the undecodable ones.
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "capture/rfd_codec.h"
#include "capture/rfd_reader.h"
#include "log/file_helpers.h"
#include "platform/operator.h"
#include "tools/command.h"
#include "tools/terminal_operator.h"

namespace moldrin::tools {

namespace {

struct Counts {
    int good = 0, badCheck = 0, undecodable = 0;
};

// The line with control bytes as \x1B-style escapes, the rest as UTF-8.
std::string Printable(const char* line) {
    std::string out;
    for (const auto* p = reinterpret_cast<const unsigned char*>(line); *p; ++p) {
        if (*p < 0x20 || *p == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", *p);
            out += esc;
        } else {
            out += platform::Cp1252ToUtf8(std::string_view(reinterpret_cast<const char*>(p), 1));
        }
    }
    return out;
}

// The check a replay makes: the value between "<" and ">" against the text
// from the first ESC after "<" up to the first "}" after it, seeded from the stamp.
bool CheckValueHolds(const char* line) {
    const char* open = std::strchr(line, '<');
    if (!open || !std::strchr(open, '>')) return false;
    const char* esc = std::strchr(open, 0x1B);
    if (!esc) return false;
    const char* close = std::strchr(esc, '}');
    if (!close) return false;
    const uint32_t seed = static_cast<uint32_t>(log::ParseNumber(line + 20, 3)) * log::ParseNumber(line + 17, 2) *
                          log::ParseNumber(line + 14, 2) * log::ParseNumber(line, 2);
    const std::string text(esc, close + 1);
    return capture::RfdLineChecksum(text.c_str(), seed) == capture::HexValue(open + 1, 4);
}

int DecodeFile(const char* path, Counts& total) {
    log::FileHandle h = log::FileOpenRead(path);
    if (h == log::kInvalidFile) {
        std::fprintf(stderr, "moldrin rfd: cannot open %s\n", path);
        return -1;
    }
    std::printf("%s\n", platform::Cp1252ToUtf8(path).c_str());
    Counts counts;
    std::array<char, capture::kRfdRecordBuffer> record{};
    int index = 0;
    int n = capture::RfdReadRecord(0, h, record.data(), record.size());
    while (n > 0) {
        ++index;
        std::array<char, capture::kRfdLineBuffer> line{};
        if (capture::RfdDecodeRecord(line, {record.data(), static_cast<std::size_t>(n)}) <= 0) {
            std::printf("%6d  !undecodable (%d bytes)\n", index, n);
            ++counts.undecodable;
        } else if (!CheckValueHolds(line.data())) {
            std::printf("%6d  !check value  %s\n", index, Printable(line.data()).c_str());
            ++counts.badCheck;
        } else {
            std::printf("%6d  %s\n", index, Printable(line.data()).c_str());
            ++counts.good;
        }
        n = capture::RfdReadRecord(1, h, record.data(), record.size());
    }
    if (n == 0) {
        std::printf("%6d  !undecodable (cut by the end of the file)\n", ++index);
        ++counts.undecodable;
    }
    log::FileClose(h);
    std::printf("records: %d, good %d, check value fails %d, undecodable %d\n",
                counts.good + counts.badCheck + counts.undecodable, counts.good, counts.badCheck,
                counts.undecodable);
    total.good += counts.good;
    total.badCheck += counts.badCheck;
    total.undecodable += counts.undecodable;
    return 0;
}

int Run(int argc, char** argv) {
    if (argc < 3 || std::strcmp(argv[1], "decode") != 0) {
        std::fprintf(stderr, "usage: moldrin rfd decode FILE...\n"
                             "  FILE is a host path or a drive path such as c:\\TALMA\\RFD\\RFD-05-Mar\xC3\xA7o-2008.bin\n"
                             "  exit status: 0 all records good, 1 some record bad, 2 a file could not be read\n");
        return 2;
    }
    Counts total;
    bool unreadable = false;
    for (int i = 2; i < argc; ++i) {
        const std::string path = Utf8ToCp1252(argv[i]);
        unreadable |= DecodeFile(path.c_str(), total) < 0;
    }
    if (unreadable) return 2;
    return total.badCheck + total.undecodable > 0 ? 1 : 0;
}

RegisterCommand reg("rfd", "decode capture (RFD) files: rfd decode FILE...", Run);

}  // namespace

}  // namespace moldrin::tools
