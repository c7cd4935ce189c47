// The idempotency file: one JSON line per finished request ({"k","f","s","b"}),
// flushed to the disk before the reply leaves; rewritten with only the
// remembered keys once it holds twice as many lines.
#include "serve/idempotency.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include <nlohmann/json.hpp>

namespace moldrin::serve {

using nlohmann::json;

IdempotencyStore::~IdempotencyStore() {
    if (file_) std::fclose(file_);
}

bool IdempotencyStore::ValidKey(const std::string& key) {
    if (key.empty() || key.size() > 100) return false;
    for (char c : key)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("-_.:", c)) return false;
    return true;
}

bool IdempotencyStore::Open(const std::string& hostPath, std::string* why) {
    path_ = hostPath;
    {
        std::ifstream in(hostPath);
        std::string line;
        while (std::getline(in, line)) {
            ++lines_;
            json j = json::parse(line, nullptr, false);
            // A line cut by a crash while it was written is no outcome.
            if (j.is_discarded() || !j.is_object() || !j.contains("k") || !j["k"].is_string()) continue;
            Entry e;
            e.running = false;
            e.fingerprint = j.value("f", "");
            e.outcome.httpStatus = j.value("s", 0);
            e.outcome.body = j.value("b", "");
            Remember(j["k"].get<std::string>(), std::move(e));
        }
    }
    const int fd = ::open(hostPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 || !(file_ = ::fdopen(fd, "a"))) {
        if (why) *why = hostPath + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    return true;
}

void IdempotencyStore::Remember(const std::string& key, Entry entry) {
    auto [it, fresh] = entries_.insert_or_assign(key, std::move(entry));
    (void)it;
    if (fresh) order_.push_back(key);
    while (order_.size() > kRemembered) {
        auto old = entries_.find(order_.front());
        if (old != entries_.end() && !old->second.running) entries_.erase(old);
        order_.pop_front();
    }
}

IdempotencyStore::Claim IdempotencyStore::Begin(const std::string& key, const std::string& fingerprint,
                                                std::chrono::steady_clock::time_point deadline, StoredOutcome* out) {
    std::unique_lock lock(m_);
    for (;;) {
        auto it = entries_.find(key);
        if (it == entries_.end()) {
            Entry e;
            e.fingerprint = fingerprint;
            entries_.emplace(key, std::move(e));
            return Claim::Fresh;
        }
        if (it->second.fingerprint != fingerprint) return Claim::Mismatch;
        if (!it->second.running) {
            *out = it->second.outcome;
            return Claim::Repeated;
        }
        if (cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
            it = entries_.find(key);
            if (it != entries_.end() && it->second.running) return Claim::Running;
        }
    }
}

void IdempotencyStore::Finish(const std::string& key, const StoredOutcome& outcome) {
    std::lock_guard lock(m_);
    auto it = entries_.find(key);
    const std::string fingerprint = it != entries_.end() ? it->second.fingerprint : std::string();
    if (it != entries_.end()) entries_.erase(it);
    Entry e;
    e.fingerprint = fingerprint;
    e.running = false;
    e.outcome = outcome;
    Remember(key, std::move(e));
    if (file_) {
        const std::string line =
            json{{"k", key}, {"f", fingerprint}, {"s", outcome.httpStatus}, {"b", outcome.body}}.dump(
                -1, ' ', false, json::error_handler_t::replace) + "\n";
        std::fwrite(line.data(), 1, line.size(), file_);
        std::fflush(file_);
        ::fdatasync(::fileno(file_));
        if (++lines_ > 2 * kRemembered) Rewrite();
    }
    cv_.notify_all();
}

void IdempotencyStore::Release(const std::string& key) {
    std::lock_guard lock(m_);
    auto it = entries_.find(key);
    if (it != entries_.end() && it->second.running) entries_.erase(it);
    cv_.notify_all();
}

void IdempotencyStore::Rewrite() {
    const std::string temp = path_ + ".new";
    std::FILE* out = std::fopen(temp.c_str(), "w");
    if (!out) return;
    lines_ = 0;
    for (const std::string& key : order_) {
        auto it = entries_.find(key);
        if (it == entries_.end() || it->second.running) continue;
        const std::string line = json{{"k", key},
                                      {"f", it->second.fingerprint},
                                      {"s", it->second.outcome.httpStatus},
                                      {"b", it->second.outcome.body}}
                                     .dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
        std::fwrite(line.data(), 1, line.size(), out);
        ++lines_;
    }
    std::fflush(out);
    ::fdatasync(::fileno(out));
    std::fclose(out);
    if (std::rename(temp.c_str(), path_.c_str()) != 0) return;
    std::fclose(file_);
    const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    file_ = fd >= 0 ? ::fdopen(fd, "a") : nullptr;
}

}  // namespace moldrin::serve
