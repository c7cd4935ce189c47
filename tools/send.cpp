// `moldrin send`: opens a session, sends each command with ECFWrite, prints
// each reply as ECFRead gives it, and closes. The session itself is the library's.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/block_frames.h"
#include "moldrin.h"
#include "sim/scenario.h"
#include "tools/command.h"

namespace moldrin::tools {

namespace {

void PrintBlockTrace(const char* line) { std::fprintf(stderr, "%s\n", line); }

int Usage() {
    std::fprintf(stderr,
                 "usage: moldrin send --port N [--timeout S] [--log-mode M] [--trace] (COMMAND... | --script FILE)\n"
                 "  COMMAND may use C escapes: \\e or \\x1B for ESC, \\r, \\n, \\\\ ...\n"
                 "  --script  the frames of a scenario file (sim/command_set.md), each reply checked\n"
                 "  --trace   print the block traffic of the later models on standard error\n"
                 "  e.g.  moldrin send --port 1 '\\e.271}' '\\e.28}'\n");
    return 2;
}

int Run(int argc, char** argv) {
    int port = 0;
    unsigned timeout = 10, logMode = 500;
    std::vector<sim::ScenarioStep> steps;
    std::string script;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--port" && v) {
            port = std::atoi(v);
            ++i;
        } else if (a == "--timeout" && v) {
            timeout = static_cast<unsigned>(std::strtoul(v, nullptr, 10));
            ++i;
        } else if (a == "--log-mode" && v) {
            logMode = static_cast<unsigned>(std::strtoul(v, nullptr, 10));
            ++i;
        } else if (a == "--script" && v) {
            script = v;
            ++i;
        } else if (a == "--trace") {
            moldrin::link::SetBlockTrace(PrintBlockTrace);
        } else if (a.rfind("--", 0) == 0) {
            return Usage();
        } else {
            steps.push_back({sim::Unescape(argv[i]), std::nullopt, 0});
        }
    }
    if (!script.empty()) {
        std::string error;
        if (!steps.empty()) return Usage();
        if (!sim::ReadScenario(script, &steps, &error)) {
            std::fprintf(stderr, "moldrin send: %s\n", error.c_str());
            return 2;
        }
    }
    if (port <= 0 || steps.empty()) return Usage();

    if (ECFOpen(port, timeout, logMode, 0) != 0) {
        std::fprintf(stderr, "moldrin send: ECFOpen(COM%d) failed\n", port);
        ECFClose();
        return 1;
    }
    bool allSent = true;
    auto send = [&](const std::string& command) {
        int r = ECFWrite(command.c_str());
        allSent = allSent && r == 0;
        char reply[1728] = {};
        ECFRead(reply, sizeof reply);
        return std::string(reply);
    };
    std::size_t mismatches = 0;
    if (script.empty()) {
        for (const sim::ScenarioStep& step : steps) {
            const std::string reply = send(step.frame);
            std::fwrite(reply.data(), 1, reply.size(), stdout);
            std::fputc('\n', stdout);
        }
    } else {
        mismatches = sim::ReplayScenario(steps, send, stdout, stderr);
    }
    char logPath[300] = {};
    if (ECFPathLog(logPath) == 0) std::fprintf(stderr, "traffic log: %s\n", logPath);
    ECFClose();
    return allSent && mismatches == 0 ? 0 : 1;
}

RegisterCommand reg("send", "open a session, send commands, print the replies, close", Run);

}  // namespace

}  // namespace moldrin::tools
