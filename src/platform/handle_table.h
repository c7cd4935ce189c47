// The numbered table behind the semaphore handles of both systems: numbers are never
// reused, so a stale handle finds nothing. What an entry holds is each system's own.
#pragma once
#include <map>
#include <memory>
#include <mutex>

#include "platform/sync.h"

namespace moldrin::platform {

template <class T>
class HandleTable {
public:
    // The handle of a new entry; 0 is never given out.
    SemaphoreHandle Add(std::shared_ptr<T> entry) {
        std::lock_guard lock(m_);
        SemaphoreHandle h = next_++;
        entries_[h] = std::move(entry);
        return h;
    }
    // The entry, kept alive for the caller even if another thread removes it meanwhile.
    std::shared_ptr<T> Find(SemaphoreHandle h) {
        std::lock_guard lock(m_);
        auto it = entries_.find(h);
        return it == entries_.end() ? nullptr : it->second;
    }
    // Removes the entry and hands it over; null when there was none.
    std::shared_ptr<T> Take(SemaphoreHandle h) {
        std::lock_guard lock(m_);
        auto it = entries_.find(h);
        if (it == entries_.end()) return nullptr;
        std::shared_ptr<T> entry = std::move(it->second);
        entries_.erase(it);
        return entry;
    }

private:
    std::mutex m_;
    std::map<SemaphoreHandle, std::shared_ptr<T>> entries_;
    SemaphoreHandle next_ = 1;
};

}  // namespace moldrin::platform
