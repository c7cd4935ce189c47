// Starting, waiting for and ending the soak's child processes.
#include "soak/processes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

namespace moldrin::soak {

pid_t Spawn(const std::string& exe, const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& log) {
    std::vector<std::string> argv{exe};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return 0;
    if (pid == 0) {
        for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        const int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, 0);
        ::execv(exe.c_str(), raw.data());
        ::_exit(127);
    }
    return pid;
}

int RunToEnd(const std::string& exe, const std::vector<std::string>& args, const std::vector<std::string>& env,
             const std::string& log, int seconds) {
    const pid_t pid = Spawn(exe, args, env, log);
    if (pid <= 0) return -1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0) return -1;
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool WaitForSocket(const std::string& path, int ms) {
    for (int waited = 0; waited <= ms; waited += 5) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

}  // namespace moldrin::soak
