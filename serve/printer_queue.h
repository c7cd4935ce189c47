// One printer's session and the queue in front of it: jobs from any HTTP thread
// run one at a time on the printer's own thread; the queue is bounded, and
// concurrent status readings share one reading of the printer.
#pragma once
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace moldrin::serve {

// What a job hands back to the request that queued it.
struct JobOutcome {
    int httpStatus = 200;
    nlohmann::json body;
    double libraryMs = 0;  // time spent inside the library's calls
};

// A queued job; the request waits on it with a deadline and may leave it running.
class Ticket {
public:
    // True when done before the deadline; `out` then holds the outcome.
    bool Wait(std::chrono::steady_clock::time_point deadline, JobOutcome* out);
    void Finish(JobOutcome outcome);

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    JobOutcome outcome_;
};

struct PrinterSettings {
    int port = 1;
    unsigned timeoutSeconds = 10;
    unsigned logMode = 500;
    bool dialogs = false;
    std::size_t queueLimit = 32;
};

class PrinterQueue {
public:
    using Job = std::function<JobOutcome()>;

    explicit PrinterQueue(PrinterSettings settings) : settings_(settings) {}
    ~PrinterQueue();
    PrinterQueue(const PrinterQueue&) = delete;
    PrinterQueue& operator=(const PrinterQueue&) = delete;

    // Opens the session on the printer's thread and starts taking jobs; false, with
    // the reason, when the session does not open.
    bool Start(const std::function<bool()>& open);
    // Ends the jobs still queued (as "shutting down"), waits for the running one,
    // closes the session.
    void Stop();

    // Queues `job`; null when the queue is full or the service is stopping.
    std::shared_ptr<Ticket> Submit(Job job);
    // A reading of the printer's status, shared with the other readings that wait for it.
    std::shared_ptr<Ticket> SubmitStatusReading(const Job& read);

    const PrinterSettings& Settings() const { return settings_; }
    std::size_t Queued();

private:
    void Loop();

    struct Entry {
        Job job;
        std::shared_ptr<Ticket> ticket;
        bool statusReading = false;
    };
    PrinterSettings settings_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Entry> queue_;
    std::shared_ptr<Ticket> waitingStatus_;  // a status reading not yet begun
    bool stopping_ = false, started_ = false;
    std::thread thread_;
};

}  // namespace moldrin::serve
