// `moldrin process FILE...`: the fiscal file of each capture file, made as the
// library makes it when an application writes the capture file's path, then
// checked with the key beside the tool and summed up.
#include <cstdio>
#include <string>
#include <vector>

#include "fiscalfile/final_assembly.h"
#include "fiscalfile/processing.h"
#include "platform/files.h"
#include "platform/operator.h"
#include "sign/ead.h"
#include "tools/command.h"
#include "tools/fiscal_summary.h"
#include "tools/options.h"
#include "tools/terminal_operator.h"

namespace moldrin::tools {
namespace {

// The fiscal files were made and their signatures hold, but damaged lines of a
// capture file were left out of its fiscal file.
constexpr int kExitLinesSkipped = 3;

enum class Outcome { Made, LinesSkipped, Failed };

// One capture file: made when its fiscal file was made and its signature holds.
Outcome ProcessOne(const Options& options, const std::string& file) {
    const std::string path = Utf8ToCp1252(file.c_str());
    if (const std::string why = UnreadableReason(platform::HostPath(path.c_str())); !why.empty()) {
        options.Failure("cannot read " + file + ": " + why);
        return Outcome::Failed;
    }
    std::printf("%s\n", file.c_str());
    std::fflush(stdout);
    const int result = fiscalfile::ProcessRfdFile(path.c_str());
    const int skipped = fiscalfile::g_skippedLines;
    const int paymentsUnknown = fiscalfile::g_paymentsUnknown;
    const std::string made = fiscalfile::LastFinalFilePath();
    if (result < 1 || made.empty()) {
        // The library has told why in its own messages, on standard error.
        options.Failure(file + (result < 0 ? ": the capture file could not be read" : ": no fiscal file made"));
        return Outcome::Failed;
    }
    std::printf("  fiscal file: %s\n  (%s)\n", platform::Cp1252ToUtf8(made).c_str(),
                platform::HostPath(made.c_str()).c_str());
    const uint16_t verdict = sign::VerifyFileSignature(made.c_str());
    std::printf("  verify: %u %s\n", verdict, sign::SignResultText(verdict));
    if (std::string summary; SummarizeFiscalFile(made, "  ", &summary)) std::fputs(summary.c_str(), stdout);
    if (paymentsUnknown > 0) {
        // Nothing in the capture file answers those coupons' close: their
        // payment lines cannot be written.
        std::printf("  coupons whose payments the capture file lacks: %d\n", paymentsUnknown);
    }
    if (skipped > 0) {
        // Made from what could be read, the file is short of whatever those lines held.
        std::printf("  damaged lines skipped: %d\n", skipped);
        options.Failure(file + ": " + std::to_string(skipped) + " damaged line" + (skipped == 1 ? "" : "s") +
                        " of the capture file skipped; the fiscal file lacks what they held");
    }
    if (verdict != sign::kSignOk) return Outcome::Failed;
    return skipped > 0 ? Outcome::LinesSkipped : Outcome::Made;
}

int Run(int argc, char** argv) {
    Options options("moldrin process", "FILE...",
                    "FILE is a capture (RFD) file: a host path or a drive path such as\n"
                    "  c:\\TALMA\\RFD\\RFD-05-Mar\xC3\xA7o-2008.bin\n"
                    "Uses the registration c:\\TALMA\\RFD\\E00.BIN under $MOLDRIN_ROOT and signs with RSA.BIN\n"
                    "beside the tool. The files are processed in the order given; an interrupted run\n"
                    "is made good by running it again. Damaged lines of a capture file are skipped,\n"
                    "counted and reported. Exit status: 0 every fiscal file made and its signature\n"
                    "valid; 3 the same, but damaged lines were skipped; 1 a fiscal file not made or\n"
                    "its signature not valid; 2 a usage error.\n");
    options.Arguments("FILE", 1, -1);
    std::vector<std::string> files;
    if (int status = options.Parse(argc, argv, files); status >= 0) return status;

    TerminalOperator terminal;
    platform::SetOperator(&terminal);
    bool failed = false, skipped = false;
    for (const std::string& file : files) {
        const Outcome outcome = ProcessOne(options, file);
        failed |= outcome == Outcome::Failed;
        skipped |= outcome == Outcome::LinesSkipped;
    }
    platform::SetOperator(nullptr);
    return failed ? kExitFailure : skipped ? kExitLinesSkipped : kExitOk;
}

static RegisterCommand reg("process", "make and check the signed fiscal files of capture files: process FILE...", Run);

}  // namespace
}  // namespace moldrin::tools
