// The moldrin tool: one sub-command per file, each registering itself here.
#include "moldrin.h"
#include "tools/command.h"
#include "tools/options.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace moldrin::tools {

namespace {
std::map<std::string, Command>& Registry() {
    static std::map<std::string, Command> registry;
    return registry;
}

void Usage() {
    std::printf("usage: moldrin COMMAND [ARGS...]\n       moldrin --version\n\ncommands:\n");
    for (const auto& [name, cmd] : Registry()) std::printf("  %-10s %s\n", name.c_str(), cmd.summary);
    std::printf("\n'moldrin COMMAND --help' prints the usage of one command.\n");
}
}  // namespace

RegisterCommand::RegisterCommand(const char* name, const char* summary, int (*run)(int, char**)) {
    Registry()[name] = Command{summary, run};
}

}  // namespace moldrin::tools

int main(int argc, char** argv) {
    using namespace moldrin::tools;
    if (argc < 2) {
        std::fprintf(stderr, "moldrin: no command given (moldrin --help lists them)\n");
        return kExitUsage;
    }
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        Usage();
        return kExitOk;
    }
    if (!std::strcmp(argv[1], "--version")) {
        char version[1025] = {};
        SistemaGetVersion(version);
        std::printf("moldrin %s (library %s)\n", MOLDRIN_TOOL_VERSION, version);
        return kExitOk;
    }
    auto it = Registry().find(argv[1]);
    if (it == Registry().end()) {
        std::fprintf(stderr, "moldrin: unknown command '%s' (moldrin --help lists them)\n", argv[1]);
        return kExitUsage;
    }
    return it->second.run(argc - 1, argv + 1);
}
