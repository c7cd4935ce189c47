// Child processes of the tool tests: posix_spawn with outputs to files, and a deadline
// after which the child is killed, so no test waits for a hung tool.
#include "tool_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char** environ;

namespace moldrin::testing {

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int Spawn(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
          const std::string& cwd, const std::string& outFile, const std::string& errFile,
          const std::string& inFile = "/dev/null") {
    std::vector<std::string> full{program};
    full.insert(full.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
    for (const std::string& add : env) {
        const std::string name = add.substr(0, add.find('=') + 1);
        std::erase_if(envStrings, [&](const std::string& s) { return s.rfind(name, 0) == 0; });
        envStrings.push_back(add);
    }
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, inFile.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

}  // namespace

std::vector<std::string> ToolResult::errLines() const {
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

ToolResult RunTool(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& cwd,
                   std::chrono::milliseconds deadline) {
    return RunToolAt(MOLDRIN_TOOL_PATH, args, env, cwd, deadline);
}

ToolResult RunToolWithInput(const std::vector<std::string>& args, const std::string& input,
                            const std::vector<std::string>& env, std::chrono::milliseconds deadline) {
    return RunToolAt(MOLDRIN_TOOL_PATH, args, env, {}, deadline, &input);
}

ToolResult RunToolAt(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env, const std::string& cwd,
                     std::chrono::milliseconds deadline, const std::string* input) {
    std::string dir = (std::filesystem::temp_directory_path() / "moldrin-tool-XXXXXX").string();
    if (!mkdtemp(dir.data())) return {};
    ToolResult result;
    std::string inFile = "/dev/null";
    if (input) {
        inFile = dir + "/in";
        std::ofstream(inFile, std::ios::binary) << *input;
    }
    const int pid = Spawn(program, args, env, cwd, dir + "/out", dir + "/err", inFile);
    if (pid > 0) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        int wstatus = 0;
        for (;;) {
            const pid_t done = waitpid(pid, &wstatus, WNOHANG);
            if (done == pid) break;
            if (std::chrono::steady_clock::now() >= end) {
                kill(pid, SIGKILL);
                waitpid(pid, &wstatus, 0);
                result.timedOut = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        if (!result.timedOut && WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
    }
    result.out = ReadFile(dir + "/out");
    result.err = ReadFile(dir + "/err");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return result;
}

BackgroundTool::BackgroundTool(const std::vector<std::string>& args, const std::string& errFile,
                               const std::string& outFile) {
    pid_ = Spawn(MOLDRIN_TOOL_PATH, args, {}, {}, outFile, errFile);
}

BackgroundTool::BackgroundTool(const std::string& program, const std::vector<std::string>& args,
                               const std::vector<std::string>& env, const std::string& errFile,
                               const std::string& outFile) {
    pid_ = Spawn(program, args, env, {}, outFile, errFile);
}

BackgroundTool::~BackgroundTool() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int wstatus = 0;
    for (int i = 0; i < 400; ++i) {
        if (waitpid(pid_, &wstatus, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &wstatus, 0);
}

bool BackgroundTool::running() const { return pid_ > 0 && kill(pid_, 0) == 0; }

bool WaitForPath(const std::string& path, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    struct stat st;
    while (::stat(path.c_str(), &st) != 0) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string ReadHost(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string ToolWithOwnKey(const std::string& dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const std::string tool = dir + "/bin/moldrin";
    fs::create_directories(dir + "/bin", ec);
    if (!fs::copy_file(MOLDRIN_TOOL_PATH, tool, ec)) return {};
    if (RunToolAt(tool, {"keygen", dir + "/bin/RSA.BIN"}).status != 0) return {};
    return tool;
}

}  // namespace moldrin::testing
