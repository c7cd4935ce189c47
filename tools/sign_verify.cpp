// `moldrin sign FILE [--key RSA.BIN]` and `moldrin verify FILE [--key RSA.BIN]`:
// the library's signing and checking on one file, with the result code explained.
#include <cstdio>
#include <cstring>
#include <string>

#include "sign/ead.h"
#include "tools/command.h"

namespace moldrin::tools {
namespace {

// FILE and the key path from argv; false on a malformed command line.
bool ParseArgs(int argc, char** argv, const char** file, std::string* key) {
    *file = nullptr;
    *key = sign::KeyFilePath();  // beside this executable, as the library does beside the application
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--key")) {
            if (++i >= argc) return false;
            *key = argv[i];
        } else if (!*file) {
            *file = argv[i];
        } else {
            return false;
        }
    }
    return *file != nullptr;
}

int Report(uint16_t code) {
    std::printf("%u %s\n", code, sign::SignResultText(code));
    return code;
}

int RunSign(int argc, char** argv) {
    const char* file;
    std::string key;
    if (!ParseArgs(argc, argv, &file, &key)) {
        std::fprintf(stderr, "usage: moldrin sign FILE [--key RSA.BIN]\n");
        return 2;
    }
    return Report(sign::SignFileWithKey(file, key.c_str()));
}

int RunVerify(int argc, char** argv) {
    const char* file;
    std::string key;
    if (!ParseArgs(argc, argv, &file, &key)) {
        std::fprintf(stderr, "usage: moldrin verify FILE [--key RSA.BIN]\n");
        return 2;
    }
    return Report(sign::VerifyFileWithKey(file, key.c_str()));
}

static RegisterCommand regSign("sign", "sign FILE in place with its EAD line [--key RSA.BIN]", RunSign);
static RegisterCommand regVerify("verify", "check the EAD line of FILE [--key RSA.BIN]", RunVerify);

}  // namespace
}  // namespace moldrin::tools
