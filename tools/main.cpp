// The moldrin tool: one sub-command per file, each registering itself here.
#include "tools/command.h"

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
    std::fprintf(stderr, "usage: moldrin COMMAND [ARGS...]\n\ncommands:\n");
    for (const auto& [name, cmd] : Registry()) std::fprintf(stderr, "  %-10s %s\n", name.c_str(), cmd.summary);
}
}  // namespace

RegisterCommand::RegisterCommand(const char* name, const char* summary, int (*run)(int, char**)) {
    Registry()[name] = Command{summary, run};
}

}  // namespace moldrin::tools

int main(int argc, char** argv) {
    using namespace moldrin::tools;
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        Usage();
        return argc < 2 ? 2 : 0;
    }
    auto it = Registry().find(argv[1]);
    if (it == Registry().end()) {
        std::fprintf(stderr, "moldrin: unknown command '%s'\n", argv[1]);
        Usage();
        return 2;
    }
    return it->second.run(argc - 1, argv + 1);
}
