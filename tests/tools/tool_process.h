// Runs the built `moldrin` tool as a child process with a deadline, the way a
// user runs it, and hands back its exit status and both outputs.
#pragma once
#include <chrono>
#include <string>
#include <vector>

namespace moldrin::testing {

struct ToolResult {
    int status = -1;       // exit status; -1 when killed at the deadline or by a signal
    bool timedOut = false;
    std::string out, err;
    // The lines of standard error, without their line ends.
    std::vector<std::string> errLines() const;
};

// argv after the tool's name; `env` adds NAME=VALUE entries to the environment;
// `cwd` is the child's working directory (empty: this process's).
ToolResult RunTool(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                   const std::string& cwd = {}, std::chrono::milliseconds deadline = std::chrono::seconds(30));
// The same with `input` as the child's standard input (else it reads /dev/null).
ToolResult RunToolWithInput(const std::vector<std::string>& args, const std::string& input,
                            const std::vector<std::string>& env = {},
                            std::chrono::milliseconds deadline = std::chrono::seconds(30));
// The same for another copy of the tool (one with its own key file beside it). The
// deadline is kept to the millisecond, so that it can kill a run at a chosen moment.
ToolResult RunToolAt(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {}, const std::string& cwd = {},
                     std::chrono::milliseconds deadline = std::chrono::seconds(30),
                     const std::string* input = nullptr);

// The folder of finished fiscal files under a MOLDRIN_ROOT.
inline constexpr const char kFinished[] = "c/TALMA/RFD/S E F A Z - ArqDigital = [CD] & [Transmitir]";

// The bytes of a file on the host; empty when it cannot be read.
std::string ReadHost(const std::string& path);

// A copy of the tool at DIR/bin/moldrin with a key of its own made beside it
// (DIR/bin/RSA.BIN): the tool signs with the key beside its own file, so no
// other test or the demo ever sees this one. The copy's path; empty on failure.
std::string ToolWithOwnKey(const std::string& dir);

// A child started in the background (the simulator); killed and reaped on destruction.
class BackgroundTool {
public:
    BackgroundTool(const std::vector<std::string>& args, const std::string& errFile,
                   const std::string& outFile = "/dev/null");
    // Another copy of the tool (RunToolAt), with `env` added to the environment.
    BackgroundTool(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& env, const std::string& errFile, const std::string& outFile);
    ~BackgroundTool();
    BackgroundTool(const BackgroundTool&) = delete;
    BackgroundTool& operator=(const BackgroundTool&) = delete;
    bool running() const;
    int pid() const { return pid_; }

private:
    int pid_ = -1;
};

// Waits up to `deadline` for a file (a socket) to appear.
bool WaitForPath(const std::string& path, std::chrono::milliseconds deadline = std::chrono::seconds(10));

}  // namespace moldrin::testing
