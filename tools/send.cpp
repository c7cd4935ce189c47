// `moldrin send`: opens a session, sends each command with ECFWrite, prints
// each reply as ECFRead gives it, and closes. The session itself is the library's.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/block_frames.h"
#include "moldrin.h"
#include "platform/files.h"
#include "platform/operator.h"
#include "sim/scenario.h"
#include "tools/command.h"
#include "tools/options.h"

namespace moldrin::tools {

namespace {

void PrintBlockTrace(const char* line) { std::fprintf(stderr, "%s\n", line); }


// The replies the library makes up when a command was not delivered or answered
// (".-P002}", ".-P006}", ".-P666}"), and the capture's refusals (".-0000ERRO - ...").
bool IsSyntheticFailure(const char* reply) {
    if (!std::strcmp(reply, ".-P002}") || !std::strcmp(reply, ".-P006}") || !std::strcmp(reply, ".-P666}")) return true;
    return std::strncmp(reply, ".-", 2) == 0 && std::strlen(reply) > 13 && std::strncmp(reply + 6, "ERRO - ", 7) == 0;
}

// What the traffic log says about the last ECFOpen: its lines after the banner, less the
// ones every open writes, without their time stamps, on one line.
std::string OpenFailureReason() {
    char logPath[300] = {};
    if (ECFPathLog(logPath) != 0 || logPath[0] != 'c') return "no traffic log to tell why (log mode 0?)";
    std::FILE* f = std::fopen(platform::HostPath(logPath).c_str(), "rb");
    if (!f) return "no traffic log to tell why";
    std::string text;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
    std::fclose(f);
    const std::size_t banner = text.rfind("<<< Moldrin.DLL - Versao");
    if (banner == std::string::npos) return "no traffic log to tell why";
    std::string reason;
    std::size_t pos = text.find("\r\n", banner);
    while (pos != std::string::npos) {
        const std::size_t next = text.find("\r\n", pos + 2);
        std::string line = text.substr(pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
        pos = next;
        const std::size_t stamp = line.find(" == ");
        if (stamp != std::string::npos && stamp < 24) line.erase(0, stamp + 4);
        if (line.rfind("LOG habilitado", 0) == 0 || line.find("mostra CAIXA DE DIALOGO") != std::string::npos ||
            line.rfind("Timeout informado", 0) == 0 || line.empty())
            continue;
        if (!reason.empty()) reason += " / ";
        reason += platform::Cp1252ToUtf8(line);
    }
    return reason.empty() ? "the traffic log gives no reason" : reason;
}

int Run(int argc, char** argv) {
    int64_t port = 0, timeout = 10, logMode = 500;
    std::string script;
    bool trace = false;
    Options options("moldrin send", "--port N [--timeout S] [--log-mode M] [--trace] (COMMAND... | --script FILE)",
                    "COMMAND may use C escapes: \\e or \\x1B for ESC, \\r, \\n, \\\\ ...\n"
                    "  e.g.  moldrin send --port 1 '\\e.271}' '\\e.28}'\n"
                    "Exit status: 0 every command answered (and, with --script, as the script says),\n"
                    "1 a command failed or the session did not open, 2 a usage error.\n"
                    "COM<N> is $MOLDRIN_COM<N> when set, else /dev/ttyS<N-1>.\n");
    options.Number("port", "N", "COM port number, 1 to 16 (required)", 1, 16, &port);
    options.Number("timeout", "S", "reply time-out in seconds, 1 to 60 (default 10)", 1, 60, &timeout);
    options.Number("log-mode", "M", "traffic log: 0 off, 1 weekly, 2 or more size limit in KB (default 500)", 0,
                   4194303, &logMode);
    options.Text("script", "FILE", "the frames of a scenario file (sim/command_set.md), each reply checked", &script);
    options.Flag("trace", "print the block traffic of the later models on standard error", &trace);
    options.Arguments("COMMAND", 0, -1);
    std::vector<std::string> args;
    if (int status = options.Parse(argc, argv, args); status >= 0) return status;
    if (script.empty() && args.empty()) return options.UsageError("a COMMAND or --script FILE is required");
    if (!script.empty() && !args.empty()) return options.UsageError("COMMAND and --script do not go together");
    if (port == 0) return options.UsageError("--port is required");

    std::vector<sim::ScenarioStep> steps;
    if (!script.empty()) {
        if (std::string why = UnreadableReason(script); !why.empty())
            return options.Failure(script + ": " + why);
        std::string error;
        if (!sim::ReadScenario(script, &steps, &error)) return options.Failure(error);
    } else {
        for (const std::string& arg : args) steps.push_back({sim::Unescape(arg), std::nullopt, 0, {}});
    }
    if (trace) link::SetBlockTrace(PrintBlockTrace);

    if (port == 0) return options.UsageError("--port is required");

    const std::string var = "MOLDRIN_COM" + std::to_string(port);
    const char* device = std::getenv(var.c_str());
    if (!device || !*device)
        std::fprintf(stderr, "moldrin send: COM%d is /dev/ttyS%d (%s is not set)\n", static_cast<int>(port),
                     static_cast<int>(port - 1), var.c_str());

    if (ECFOpen(static_cast<int>(port), static_cast<unsigned>(timeout), static_cast<unsigned>(logMode), 0) != 0) {
        std::string reason = OpenFailureReason();
        // The log keeps the library's words; the system's own reason is added when the device is missing.
        std::string path = device && *device ? device : "/dev/ttyS" + std::to_string(port - 1);
        if (path.rfind("unix:", 0) == 0) path.erase(0, 5);
        if (path.rfind("tcp:", 0) != 0 && ::access(path.c_str(), F_OK) != 0)
            reason += " [" + path + ": " + std::strerror(errno) + "]";
        ECFClose();
        return options.Failure("ECFOpen(COM" + std::to_string(port) + ") failed: " + reason);
    }
    bool allAnswered = true;
    auto send = [&](const std::string& command) {
        const int r = ECFWrite(command.c_str());
        char reply[1728] = {};
        ECFRead(reply, sizeof reply);
        if (r != 0 || IsSyntheticFailure(reply)) allAnswered = false;
        return std::string(reply);
    };
    std::size_t mismatches = 0;
    if (script.empty()) {
        for (const sim::ScenarioStep& step : steps) {
            const std::string reply = send(step.frame);
            std::fwrite(reply.data(), 1, reply.size(), stdout);
            std::fputc('\n', stdout);
            if (!allAnswered) {
                // A printer that did not take one command would cost every later one the same wait.
                if (&step != &steps.back()) std::fprintf(stderr, "moldrin send: command failed; the rest were not sent\n");
                break;
            }
        }
    } else {
        // A script may refuse on purpose (its expected replies say so): only mismatches fail it.
        mismatches = sim::ReplayScenario(steps, send, stdout, stderr);
        allAnswered = true;
    }
    std::fflush(stdout);
    char logPath[300] = {};
    if (ECFPathLog(logPath) == 0) {
        if (logPath[0] == 'c') std::fprintf(stderr, "traffic log: %s (%s)\n", logPath, platform::HostPath(logPath).c_str());
        else std::fprintf(stderr, "traffic log: %s\n", logPath);
    }
    ECFClose();
    return allAnswered && mismatches == 0 ? kExitOk : kExitFailure;
}

RegisterCommand reg("send", "open a session, send commands, print the replies, close", Run);

}  // namespace

}  // namespace moldrin::tools
