// `moldrin send`: opens a session, sends each command with ECFWrite, prints
// each reply as ECFRead gives it, and closes. The session itself is the library's.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/block_frames.h"
#include "moldrin.h"
#include "platform/files.h"
#include "platform/operator.h"
#include "session/session_state.h"
#include "sim/scenario.h"
#include "tools/command.h"
#include "tools/options.h"
#include "tools/printable.h"
#include "tools/session.h"

namespace moldrin::tools {

namespace {

void PrintBlockTrace(const char* line) { std::fprintf(stderr, "%s\n", line); }

// The replies the library makes up when a command was not delivered or answered
// (".-P002}", ".-P006}", ".-P666}"), and the capture's refusals (".-0000ERRO - ...").
bool IsSyntheticFailure(const char* reply) {
    if (!std::strcmp(reply, ".-P002}") || !std::strcmp(reply, ".-P006}") || !std::strcmp(reply, ".-P666}")) return true;
    return std::strncmp(reply, ".-", 2) == 0 && std::strlen(reply) > 13 && std::strncmp(reply + 6, "ERRO - ", 7) == 0;
}

// The default operator, noting whether the fiscal capture asked for the application's
// registration: its refusal reaches the application only as ".-P006}".
class NotingOperator final : public platform::Operator {
public:
    void InfoBox(const char* text) override { platform::DefaultOperator().InfoBox(text); }
    int QuestionBox(const char* text) override { return platform::DefaultOperator().QuestionBox(text); }
    int MessageBox(const char* text, const char* caption, unsigned style) override {
        if (caption && !std::strcmp(caption, "ERRO CADASTRO")) registrationAsked = true;
        return platform::DefaultOperator().MessageBox(text, caption, style);
    }
    int Identify(const char* caption, MoldrinIdentification& fields) override {
        registrationAsked = true;
        return platform::DefaultOperator().Identify(caption, fields);
    }
    std::atomic<bool> registrationAsked{false};
};

int Run(int argc, char** argv) {
    int64_t port = 0, timeout = 10, logMode = 500;
    std::string script;
    bool trace = false;
    Options options("moldrin send", "--port N [--timeout S] [--log-mode M] [--trace] (COMMAND... | --script FILE)",
                    "COMMAND may use C escapes: \\e or \\x1B for ESC, \\r, \\n, \\\\ ...\n"
                    "  e.g.  moldrin send --port 1 '\\e.271}' '\\e.28}'\n"
                    "Replies are printed as UTF-8, control bytes as \\xHH; a wait over a second is\n"
                    "announced on standard error (the line-speed search takes up to 80 s with no printer).\n"
                    "Exit status: 0 every command answered (with --script: every reply the one the script\n"
                    "expects, and no other command failed), 1 a command failed or the session did not open,\n"
                    "2 a usage error. COM<N> is $MOLDRIN_COM<N> when set, else /dev/ttyS<N-1>.\n");
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

    NotingOperator op;
    platform::SetOperator(&op);
    if (!OpenSession(options, static_cast<int>(port), static_cast<unsigned>(timeout), static_cast<unsigned>(logMode))) {
        platform::SetOperator(nullptr);
        return kExitFailure;
    }
    std::size_t failures = 0, sent = 0;
    auto send = [&](const std::string& command) {
        int r;
        {
            WaitNotice wait(options.Command(),
                            g_session.LineSpeed == 0
                                ? "the printer on COM" + std::to_string(port) +
                                      ": finding its line speed again (up to 80 s when nothing answers)"
                                : "the printer's answer to " + sim::Printable(command) + " (time-out " +
                                      std::to_string(timeout) + " s a record)");
            r = ECFWrite(command.c_str());
        }
        char reply[1728] = {};
        ECFRead(reply, sizeof reply);
        // A script's expected reply judges its step, refusals included; any other step fails
        // on a failed call or a reply the library made up.
        const bool judged = !script.empty() && steps[sent].expect.has_value();
        if (!judged && (r != 0 || IsSyntheticFailure(reply))) ++failures;
        ++sent;
        return std::string(reply);
    };
    std::size_t mismatches = 0;
    if (script.empty()) {
        for (const sim::ScenarioStep& step : steps) {
            const std::string reply = send(step.frame);
            std::printf("%s\n", Printable(reply).c_str());
            std::fflush(stdout);
            if (failures) {
                // A printer that did not take one command would cost every later one the same wait.
                if (&step != &steps.back()) std::fprintf(stderr, "moldrin send: command failed; the rest were not sent\n");
                break;
            }
        }
    } else {
        mismatches = sim::ReplayScenario(steps, send, stdout, stderr);
        if (failures)
            std::fprintf(stderr, "moldrin send: %zu command%s without an expected reply failed\n", failures,
                         failures == 1 ? "" : "s");
    }
    std::fflush(stdout);
    if (op.registrationAsked)
        std::fprintf(stderr,
                     "moldrin send: the fiscal capture refused the fiscal commands (reply .-P006}) for want of the "
                     "application's registration c:\\TALMA\\RFD\\E00.BIN; write it with: moldrin register "
                     "--from-printer --port %d\n",
                     static_cast<int>(port));
    char logPath[300] = {};
    if (ECFPathLog(logPath) == 0) {
        if (logPath[0] == 'c') std::fprintf(stderr, "traffic log: %s (%s)\n", logPath, platform::HostPath(logPath).c_str());
        else std::fprintf(stderr, "traffic log: %s\n", logPath);
    }
    ECFClose();
    platform::SetOperator(nullptr);
    return failures == 0 && mismatches == 0 ? kExitOk : kExitFailure;
}

RegisterCommand reg("send", "open a session, send commands, print the replies, close", Run);

}  // namespace

}  // namespace moldrin::tools
