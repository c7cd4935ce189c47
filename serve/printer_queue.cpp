// The printer's thread: opens the library's session, runs the queued jobs one at
// a time, closes the session at the end. What each job does is the API's.
#include "serve/printer_queue.h"

#include "moldrin.h"

namespace moldrin::serve {

bool Ticket::Wait(std::chrono::steady_clock::time_point deadline, JobOutcome* out) {
    std::unique_lock lock(m_);
    if (!cv_.wait_until(lock, deadline, [this] { return done_; })) return false;
    if (out) *out = outcome_;
    return true;
}

void Ticket::Finish(JobOutcome outcome) {
    {
        std::lock_guard lock(m_);
        outcome_ = std::move(outcome);
        done_ = true;
    }
    cv_.notify_all();
}

PrinterQueue::~PrinterQueue() { Stop(); }

bool PrinterQueue::Start(const std::function<bool()>& open) {
    std::mutex m;
    std::condition_variable cv;
    bool decided = false, opened = false;
    thread_ = std::thread([&, open] {
        const bool ok = open();
        {
            std::lock_guard lock(m);
            opened = ok;
            decided = true;
        }
        cv.notify_all();
        if (ok) Loop();
    });
    // Opening finds the line speed of a silent printer in a minute or more: no shorter wait fits.
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return decided; });
    if (!opened) {
        lock.unlock();
        thread_.join();
        return false;
    }
    std::lock_guard guard(m_);
    started_ = true;
    return true;
}

void PrinterQueue::Stop() {
    std::deque<Entry> left;
    {
        std::lock_guard lock(m_);
        if (stopping_) return;
        stopping_ = true;
        left.swap(queue_);
        waitingStatus_.reset();
    }
    cv_.notify_all();
    for (Entry& e : left)
        e.ticket->Finish({503, {{"error", {{"code", "shutting-down"}, {"message", "the service is stopping"}}}}, 0});
    if (thread_.joinable()) thread_.join();
    if (started_) ECFClose();
}

std::shared_ptr<Ticket> PrinterQueue::Submit(Job job) {
    auto ticket = std::make_shared<Ticket>();
    {
        std::lock_guard lock(m_);
        if (stopping_ || queue_.size() >= settings_.queueLimit) return nullptr;
        queue_.push_back({std::move(job), ticket, false});
    }
    cv_.notify_one();
    return ticket;
}

std::shared_ptr<Ticket> PrinterQueue::SubmitStatusReading(const Job& read) {
    std::shared_ptr<Ticket> ticket;
    {
        std::lock_guard lock(m_);
        if (stopping_) return nullptr;
        if (waitingStatus_) return waitingStatus_;
        if (queue_.size() >= settings_.queueLimit) return nullptr;
        ticket = std::make_shared<Ticket>();
        waitingStatus_ = ticket;
        queue_.push_back({read, ticket, true});
    }
    cv_.notify_one();
    return ticket;
}

std::size_t PrinterQueue::Queued() {
    std::lock_guard lock(m_);
    return queue_.size();
}

void PrinterQueue::Loop() {
    for (;;) {
        Entry e;
        {
            std::unique_lock lock(m_);
            cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            e = std::move(queue_.front());
            queue_.pop_front();
            // Readings asked for from now on need a reading of their own.
            if (e.statusReading) waitingStatus_.reset();
        }
        e.ticket->Finish(e.job());
    }
}

}  // namespace moldrin::serve
