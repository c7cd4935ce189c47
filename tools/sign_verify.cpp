// `moldrin sign FILE [--key RSA.BIN]` and `moldrin verify FILE [--key RSA.BIN]`:
// the library's signing and checking on one file, with the result code explained.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "sign/ead.h"
#include "tools/command.h"
#include "tools/options.h"

namespace moldrin::tools {
namespace {

// FILE and the key from the command line, both readable; -1 to go on, else the exit status.
int ParseArgs(const char* command, int argc, char** argv, std::string* file, std::string* key) {
    *key = sign::KeyFilePath();  // beside this executable, as the library does beside the application
    Options options(command, "FILE [--key RSA.BIN]",
                    "FILE and the key may be host paths or drive paths (c:\\TALMA\\RFD\\...).\n"
                    "Prints the result code and its meaning; exit status 0 when it is 0, else 1.\n");
    options.Text("key", "RSA.BIN", "the key file (default: RSA.BIN beside the tool)", key);
    options.Arguments("FILE", 1, 1);
    std::vector<std::string> args;
    if (int status = options.Parse(argc, argv, args); status >= 0) return status;
    *file = args[0];
    for (const std::string* path : {static_cast<const std::string*>(file), static_cast<const std::string*>(key)}) {
        const std::string why = UnreadableReason(platform::HostPath(path->c_str()));
        if (!why.empty()) return options.Failure("cannot read " + *path + ": " + why);
    }
    return -1;
}

int Report(uint16_t code) {
    std::printf("%u %s\n", code, sign::SignResultText(code));
    return code == 0 ? kExitOk : kExitFailure;
}

int RunSign(int argc, char** argv) {
    std::string file, key;
    if (int status = ParseArgs("moldrin sign", argc, argv, &file, &key); status >= 0) return status;
    return Report(sign::SignFileWithKey(file.c_str(), key.c_str()));
}

int RunVerify(int argc, char** argv) {
    std::string file, key;
    if (int status = ParseArgs("moldrin verify", argc, argv, &file, &key); status >= 0) return status;
    return Report(sign::VerifyFileWithKey(file.c_str(), key.c_str()));
}

static RegisterCommand regSign("sign", "sign FILE in place with its EAD line [--key RSA.BIN]", RunSign);
static RegisterCommand regVerify("verify", "check the EAD line of FILE [--key RSA.BIN]", RunVerify);

}  // namespace
}  // namespace moldrin::tools
