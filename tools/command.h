// Sub-commands of the moldrin tool register themselves with a file-scope
//   static moldrin::tools::RegisterCommand reg("name", "one-line summary", Run);
// where Run gets argv with argv[0] being the sub-command's name.
#pragma once

namespace moldrin::tools {

struct Command {
    const char* summary;
    int (*run)(int argc, char** argv);
};

struct RegisterCommand {
    RegisterCommand(const char* name, const char* summary, int (*run)(int, char**));
};

}  // namespace moldrin::tools
