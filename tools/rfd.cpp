// "moldrin rfd decode FILE...": prints the records of capture files as their
// text lines and counts the good, the failed checks and the undecodable ones.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/operator.h"
#include "tools/command.h"
#include "tools/options.h"
#include "tools/printable.h"
#include "tools/rfd_records.h"
#include "tools/terminal_operator.h"

namespace moldrin::tools {

namespace {

struct Counts {
    int good = 0, badCheck = 0, undecodable = 0;
};

int DecodeFile(const char* path, Counts& total) {
    std::vector<RfdRecord> records;
    std::string why;
    if (!ReadRfdRecords(path, &records, &why)) {
        std::fprintf(stderr, "moldrin rfd decode: cannot read %s: %s\n", platform::Cp1252ToUtf8(path).c_str(),
                     why.c_str());
        return -1;
    }
    std::printf("%s\n", platform::Cp1252ToUtf8(path).c_str());
    Counts counts;
    int index = 0;
    for (const RfdRecord& r : records) {
        ++index;
        switch (r.kind) {
            case RfdRecord::Kind::Undecodable:
                std::printf("%6d  !undecodable (%d bytes)\n", index, r.bytes);
                ++counts.undecodable;
                break;
            case RfdRecord::Kind::Cut:
                std::printf("%6d  !undecodable (cut by the end of the file)\n", index);
                ++counts.undecodable;
                break;
            case RfdRecord::Kind::BadCheck:
                std::printf("%6d  !check value  %s\n", index, Printable(r.line).c_str());
                ++counts.badCheck;
                break;
            case RfdRecord::Kind::Good:
                std::printf("%6d  %s\n", index, Printable(r.line).c_str());
                ++counts.good;
                break;
        }
    }
    std::printf("records: %d, good %d, check value fails %d, undecodable %d\n",
                counts.good + counts.badCheck + counts.undecodable, counts.good, counts.badCheck,
                counts.undecodable);
    total.good += counts.good;
    total.badCheck += counts.badCheck;
    total.undecodable += counts.undecodable;
    return 0;
}

int Run(int argc, char** argv) {
    // One action today; the word keeps room for others.
    if (argc >= 2 && std::strcmp(argv[1], "decode") != 0 && std::strcmp(argv[1], "--help") != 0 &&
        std::strcmp(argv[1], "-h") != 0) {
        std::fprintf(stderr, "moldrin rfd: unknown action '%s'; the action is decode (moldrin rfd --help for usage)\n",
                     argv[1]);
        return kExitUsage;
    }
    const bool decode = argc >= 2 && !std::strcmp(argv[1], "decode");
    Options options("moldrin rfd", "decode FILE...",
                    "  FILE is a host path or a drive path such as c:\\TALMA\\RFD\\RFD-05-Mar\xC3\xA7o-2008.bin\n"
                    "Exit status: 0 every record good, 1 a record bad or a file unreadable, 2 a usage error.\n");
    options.Arguments("FILE", 1, -1);
    std::vector<std::string> files;
    if (!decode) {
        if (argc >= 2) {  // --help or -h
            options.PrintUsage(stdout);
            return kExitOk;
        }
        return options.UsageError("missing action: decode");
    }
    if (int status = options.Parse(argc - 1, argv + 1, files); status >= 0) return status;
    Counts total;
    bool unreadable = false;
    for (const std::string& file : files) {
        const std::string path = Utf8ToCp1252(file.c_str());
        unreadable |= DecodeFile(path.c_str(), total) < 0;
    }
    if (unreadable) return kExitFailure;
    return total.badCheck + total.undecodable > 0 ? kExitFailure : kExitOk;
}

RegisterCommand reg("rfd", "decode capture (RFD) files: rfd decode FILE...", Run);

}  // namespace

}  // namespace moldrin::tools
