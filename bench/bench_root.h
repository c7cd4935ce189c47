// What a benchmark sets up for itself before it measures: a MOLDRIN_ROOT of its
// own with the fiscal capture off (the link alone) or on with the demo
// application registered (what a POS gets), and a watchdog, so that a benchmark
// that stops making progress ends with a failure instead of waiting for ever.
#pragma once
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "store/registration.h"
#include "support/demo_identification.h"

namespace moldrin::bench {

enum class Capture { Off, Registered };

class BenchRoot {
public:
    explicit BenchRoot(Capture capture) {
        char dir[] = "/tmp/moldrin-bench-root-XXXXXX";
        if (!mkdtemp(dir)) std::abort();
        path_ = dir;
        if (const char* previous = std::getenv("MOLDRIN_ROOT")) {
            previous_ = previous;
            hadPrevious_ = true;
        }
        setenv("MOLDRIN_ROOT", path_.c_str(), 1);
        std::filesystem::create_directories(path_ + "/c/TALMA/RFD");
        if (capture == Capture::Off) {
            std::FILE* ini = std::fopen((path_ + "/c/TALMA/talma.ini").c_str(), "w");
            if (!ini || std::fclose(ini) != 0) Fail("cannot write talma.ini");
        } else {
            // As the identification dialog would have, for the simulator's printer.
            capture::g_registration = capture::RegistrationRecord{};
            capture::TakeIdentification(testing::DemoIdentification());
            if (capture::WriteRegistrationFile('B', 0) != 1) Fail("cannot write the registration");
            capture::g_registration = capture::RegistrationRecord{};
        }
    }
    ~BenchRoot() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
        if (hadPrevious_) setenv("MOLDRIN_ROOT", previous_.c_str(), 1);
        else unsetenv("MOLDRIN_ROOT");
    }
    BenchRoot(const BenchRoot&) = delete;
    BenchRoot& operator=(const BenchRoot&) = delete;
    const std::string& path() const { return path_; }

    [[noreturn]] static void Fail(const char* what) {
        std::fprintf(stderr, "FAIL: %s\n", what);
        std::exit(1);
    }

private:
    std::string path_, previous_;
    bool hadPrevious_ = false;
};

// What the benchmark is doing, for the watchdog's message.
inline const char* volatile g_phase = "starting";

// Ends the process with status 1, naming the phase, when `seconds` pass
// before Disarm; a new phase may re-arm it.
inline void Watchdog(const char* phase, unsigned seconds) {
    g_phase = phase;
    struct sigaction sa {};
    sa.sa_handler = [](int) {
        static const char head[] = "FAIL: no progress within the watchdog's time: ";
        const char* p = g_phase;
        if (::write(2, head, sizeof head - 1) < 0 || ::write(2, p, std::strlen(p)) < 0 || ::write(2, "\n", 1) < 0) {
        }
        ::_exit(1);
    };
    sigaction(SIGALRM, &sa, nullptr);
    alarm(seconds);
}
inline void Disarm() { alarm(0); }

}  // namespace moldrin::bench
