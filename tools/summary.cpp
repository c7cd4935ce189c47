// `moldrin summary FILE...`: the record counts and the day's figures of fiscal files.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tools/command.h"
#include "tools/fiscal_summary.h"
#include "tools/options.h"
#include "tools/terminal_operator.h"

namespace moldrin::tools {
namespace {

int Run(int argc, char** argv) {
    Options options("moldrin summary", "FILE...",
                    "FILE is a host path or a drive path such as c:\\TALMA\\RFD\\...\n"
                    "Prints the records per type, the coupons, documents and payments of each file.\n"
                    "A file whose lines are not all whole records of the fiscal file's types is refused.\n"
                    "Exit status: 0 every file summed up, 1 a file unreadable or not a fiscal file,\n"
                    "2 a usage error.\n");
    options.Arguments("FILE", 1, -1);
    std::vector<std::string> files;
    if (int status = options.Parse(argc, argv, files); status >= 0) return status;
    int status = kExitOk;
    for (const std::string& file : files) {
        const std::string path = Utf8ToCp1252(file.c_str());
        if (const std::string why = UnreadableReason(platform::HostPath(path.c_str())); !why.empty()) {
            status = options.Failure("cannot read " + file + ": " + why);
            continue;
        }
        const bool several = files.size() > 1;
        std::string summary, why;
        if (!SummarizeFiscalFile(path, several ? "  " : "", &summary, &why)) {
            status = options.Failure(file + ": " + why);
            continue;
        }
        if (several) std::printf("%s\n", file.c_str());
        std::fputs(summary.c_str(), stdout);
    }
    return status;
}

static RegisterCommand reg("summary", "record counts and the day's figures of fiscal files: summary FILE...", Run);

}  // namespace
}  // namespace moldrin::tools
