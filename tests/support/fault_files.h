// A file system over the real one that lets a test choose creation times and
// make chosen operations fail: refused or short writes, a disk that fills up,
// failed flushes, closes (the file is closed all the same) and renames, refused
// opens; for every file, or only for the file at one path. Installed while it lives.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/files.h"

namespace moldrin::testing {

class FaultFiles final : public platform::FileSystem {
public:
    FaultFiles() { platform::SetFileSystem(this); }
    ~FaultFiles() override { platform::SetFileSystem(nullptr); }

    // What CreationTime answers: unset = the real file system's answer.
    void SetCreationTime(std::optional<platform::LocalTime> t) {
        std::lock_guard lock(m_);
        creation_ = t;
        overrideCreation_ = true;
    }
    std::atomic<bool> failOpen{false}, failWrite{false}, failClose{false}, shortWrite{false};
    std::atomic<bool> failFlush{false}, failRename{false};
    std::atomic<bool> refuseWriteOpens{false};  // as for a read-only file
    std::atomic<int> opens{0};
    std::atomic<int> flushes{0};  // asked for, of the files the faults hit
    // Bytes that may still be written before the disk is full; negative: no limit.
    std::atomic<int64_t> spaceLeft{-1};

    // The faults hit only the file at this (Windows) path; empty: every file.
    void OnlyFor(const std::string& path) {
        std::lock_guard lock(m_);
        only_ = path;
    }

    platform::FileHandle Open(const char* p, unsigned a, unsigned s, platform::FileCreation c) override {
        ++opens;
        if (Hits(p) && (failOpen || (refuseWriteOpens && (a & platform::kAccessWrite)))) return platform::kInvalidFile;
        const platform::FileHandle h = Real().Open(p, a, s, c);
        if (h != platform::kInvalidFile) {
            std::lock_guard lock(m_);
            paths_[h] = p ? p : "";
        }
        return h;
    }
    bool Close(platform::FileHandle h) override {
        const bool hit = Hits(h);
        {
            std::lock_guard lock(m_);
            paths_.erase(h);
        }
        bool ok = Real().Close(h);
        return ok && !(hit && failClose);
    }
    bool Read(platform::FileHandle h, void* b, uint32_t n, uint32_t* d) override { return Real().Read(h, b, n, d); }
    bool Write(platform::FileHandle h, const void* b, uint32_t n, uint32_t* d) override {
        if (!Hits(h)) return Real().Write(h, b, n, d);
        if (failWrite) {
            *d = 0;
            return false;
        }
        uint32_t allowed = shortWrite ? n / 2 : n;
        for (int64_t left = spaceLeft.load(); left >= 0;) {
            const uint32_t fits = left < allowed ? static_cast<uint32_t>(left) : allowed;
            if (spaceLeft.compare_exchange_weak(left, left - fits)) {
                allowed = fits;
                break;
            }
        }
        // A write that meets a full disk moves what fits and then fails.
        return Real().Write(h, b, allowed, d) && allowed == n;
    }
    bool Flush(platform::FileHandle h) override {
        const bool hit = Hits(h);
        if (hit) ++flushes;
        return !(hit && failFlush) && Real().Flush(h);
    }
    int64_t Seek(platform::FileHandle h, int64_t o, int w) override { return Real().Seek(h, o, w); }
    int64_t Size(platform::FileHandle h) override { return Real().Size(h); }
    bool Truncate(platform::FileHandle h, int64_t size) override { return Real().Truncate(h, size); }
    std::optional<platform::LocalTime> CreationTime(platform::FileHandle h) override {
        std::lock_guard lock(m_);
        return overrideCreation_ ? creation_ : Real().CreationTime(h);
    }
    bool Delete(const char* p) override { return Real().Delete(p); }
    bool Rename(const char* f, const char* t) override {
        return !(failRename && (Hits(f) || Hits(t))) && Real().Rename(f, t);
    }
    bool CreateDirectory(const char* p) override { return Real().CreateDirectory(p); }
    bool IsDirectory(const char* p) override { return Real().IsDirectory(p); }
    bool Exists(const char* p) override { return Real().Exists(p); }
    bool TryLock(platform::FileHandle h) override { return Real().TryLock(h); }

private:
    static platform::FileSystem& Real() { return platform::SystemFileSystem(); }
    bool Hits(const char* path) {
        std::lock_guard lock(m_);
        return only_.empty() || (path && only_ == path);
    }
    bool Hits(platform::FileHandle h) {
        std::lock_guard lock(m_);
        if (only_.empty()) return true;
        auto it = paths_.find(h);
        return it != paths_.end() && it->second == only_;
    }
    std::mutex m_;
    std::string only_;
    std::map<platform::FileHandle, std::string> paths_;
    bool overrideCreation_ = false;
    std::optional<platform::LocalTime> creation_;
};

}  // namespace moldrin::testing
