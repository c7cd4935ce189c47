// The soak's child processes: started from this very executable, with their
// own environment and a log file, and the lanes' printers and POS kept running
// (a killed one started again) until each lane has sold its days.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace moldrin::soak {

// Starts `exe args...` with `env` added, standard output and error to `log`. 0 on failure.
pid_t Spawn(const std::string& exe, const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& log);
// Runs it to the end, at most `seconds`: its exit status, or -1.
int RunToEnd(const std::string& exe, const std::vector<std::string>& args, const std::vector<std::string>& env,
             const std::string& log, int seconds);
// Waits at most `ms` for a Unix socket to appear.
bool WaitForSocket(const std::string& path, int ms);

}  // namespace moldrin::soak
