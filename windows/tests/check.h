// A small check harness for the programs that run under wine, where the Linux test
// framework is not available: named cases, checks that report where they failed, a summary.
#pragma once
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace wine_check {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& Cases() {
    static std::vector<Case> cases;
    return cases;
}
inline int& Failures() {
    static int failures = 0;
    return failures;
}
inline bool& Skipped() {
    static bool skipped = false;
    return skipped;
}

struct Register {
    Register(const char* name, std::function<void()> body) { Cases().push_back({name, std::move(body)}); }
};

inline void Fail(const char* file, int line, const std::string& what) {
    std::printf("    %s:%d: %s\n", file, line, what.c_str());
    ++Failures();
}

// Marks the running case as not run (a missing peer, say), with the reason.
inline void Skip(const std::string& why) {
    std::printf("    skipped: %s\n", why.c_str());
    Skipped() = true;
}

// Runs every case (or those whose name contains filter); returns the exit status.
inline int RunAll(const char* label, const char* filter) {
    int passed = 0, failed = 0, skipped = 0;
    for (auto& c : Cases()) {
        if (filter && !std::strstr(c.name, filter)) continue;
        int before = Failures();
        Skipped() = false;
        std::printf("[ RUN  ] %s\n", c.name);
        std::fflush(stdout);
        c.body();
        if (Failures() != before) {
            ++failed;
            std::printf("[ FAIL ] %s\n", c.name);
        } else if (Skipped()) {
            ++skipped;
            std::printf("[ SKIP ] %s\n", c.name);
        } else {
            ++passed;
            std::printf("[  OK  ] %s\n", c.name);
        }
        std::fflush(stdout);
    }
    std::printf("%s: %d passed, %d failed, %d skipped\n", label, passed, failed, skipped);
    std::fflush(stdout);
    return failed ? 1 : 0;
}

}  // namespace wine_check

#define WINE_CONCAT2(a, b) a##b
#define WINE_CONCAT(a, b) WINE_CONCAT2(a, b)
#define WINE_CASE(name)                                                                  \
    static void WINE_CONCAT(case_, __LINE__)();                                          \
    static ::wine_check::Register WINE_CONCAT(reg_, __LINE__)(name, WINE_CONCAT(case_, __LINE__)); \
    static void WINE_CONCAT(case_, __LINE__)()

#define CHECK(cond)                                                             \
    do {                                                                        \
        if (!(cond)) ::wine_check::Fail(__FILE__, __LINE__, "CHECK(" #cond ")"); \
    } while (0)

#define CHECK_EQ_STR(actual, expected)                                                        \
    do {                                                                                      \
        std::string a_ = (actual), e_ = (expected);                                           \
        if (a_ != e_) ::wine_check::Fail(__FILE__, __LINE__, "\"" + a_ + "\" != \"" + e_ + "\""); \
    } while (0)

#define CHECK_EQ(actual, expected)                                                             \
    do {                                                                                       \
        long long a_ = static_cast<long long>(actual), e_ = static_cast<long long>(expected);  \
        if (a_ != e_)                                                                          \
            ::wine_check::Fail(__FILE__, __LINE__,                                             \
                               #actual " == " + std::to_string(a_) + ", expected " + std::to_string(e_)); \
    } while (0)
