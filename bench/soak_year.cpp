// A simulated year of the busy store: `moldrin soak` for 365 days on two lanes
// with faults at 1 % per command, its report, and how its wall time compares
// with the ten minutes it is to fit in. Exits 1 when the soak fails.
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    const std::string days = argc > 1 ? argv[1] : "365";
    const std::string command = std::string("'") + MOLDRIN_TOOL_PATH + "' soak --days " + days +
                                " --lanes 2 --faults 0.01 --seed 1 --deadline 3000";
    std::printf("bench_soak_year: %s\n", command.c_str());
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(command.c_str());
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool ok = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::printf("bench_soak_year: %s days on 2 lanes at 1%% faults in %.1f s, %.2f of the 600 s it is to fit in: %s\n",
                days.c_str(), wall, wall / 600.0, ok ? "passed" : "FAILED");
    return ok ? 0 : 1;
}
