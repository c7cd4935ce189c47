// The outcomes of the requests that carried an idempotency key, per printer: a
// request repeated with the same key gets the first outcome back instead of
// running again. Kept in a file of its own, so they outlive a restart.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace moldrin::serve {

struct StoredOutcome {
    int httpStatus = 0;
    std::string body;  // JSON text
};

class IdempotencyStore {
public:
    // How many finished keys are remembered; older ones are forgotten first.
    static constexpr std::size_t kRemembered = 10000;

    ~IdempotencyStore();
    // Loads the outcomes kept in `hostPath` and appends new ones there; false with the reason
    // when the file cannot be written.
    bool Open(const std::string& hostPath, std::string* why);

    enum class Claim {
        Fresh,     // the caller runs the request, then calls Finish or Release
        Repeated,  // `out` holds the first outcome
        Running,   // the first request with this key still runs past the deadline
        Mismatch,  // the key was used for another request
    };
    // `fingerprint` tells requests apart (method, path and body).
    Claim Begin(const std::string& key, const std::string& fingerprint,
                std::chrono::steady_clock::time_point deadline, StoredOutcome* out);
    void Finish(const std::string& key, const StoredOutcome& outcome);
    // The request ended without an outcome to keep (it may be run again).
    void Release(const std::string& key);

    // Letters, digits and "-_.:", 1 to 100 of them.
    static bool ValidKey(const std::string& key);

private:
    struct Entry {
        std::string fingerprint;
        bool running = true;
        StoredOutcome outcome;
    };
    void Remember(const std::string& key, Entry entry);
    void Rewrite();

    std::mutex m_;
    std::condition_variable cv_;
    std::map<std::string, Entry> entries_;
    std::deque<std::string> order_;  // finished keys, oldest first
    std::string path_;
    std::FILE* file_ = nullptr;
    std::size_t lines_ = 0;
};

}  // namespace moldrin::serve
