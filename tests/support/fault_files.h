// A file system over the real one that lets a test choose creation times and
// make chosen operations fail: refused or short writes, failed flushes, closes
// (the file is closed all the same) and renames, refused opens. Installed while it lives.
#pragma once
#include <atomic>
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

    platform::FileHandle Open(const char* p, unsigned a, unsigned s, platform::FileCreation c) override {
        ++opens;
        if (failOpen || (refuseWriteOpens && (a & platform::kAccessWrite))) return platform::kInvalidFile;
        return Real().Open(p, a, s, c);
    }
    bool Close(platform::FileHandle h) override {
        bool ok = Real().Close(h);
        return ok && !failClose;
    }
    bool Read(platform::FileHandle h, void* b, uint32_t n, uint32_t* d) override { return Real().Read(h, b, n, d); }
    bool Write(platform::FileHandle h, const void* b, uint32_t n, uint32_t* d) override {
        if (failWrite) {
            *d = 0;
            return false;
        }
        return Real().Write(h, b, shortWrite ? n / 2 : n, d);
    }
    bool Flush(platform::FileHandle h) override { return !failFlush && Real().Flush(h); }
    int64_t Seek(platform::FileHandle h, int64_t o, int w) override { return Real().Seek(h, o, w); }
    int64_t Size(platform::FileHandle h) override { return Real().Size(h); }
    std::optional<platform::LocalTime> CreationTime(platform::FileHandle h) override {
        std::lock_guard lock(m_);
        return overrideCreation_ ? creation_ : Real().CreationTime(h);
    }
    bool Delete(const char* p) override { return Real().Delete(p); }
    bool Rename(const char* f, const char* t) override { return !failRename && Real().Rename(f, t); }
    bool CreateDirectory(const char* p) override { return Real().CreateDirectory(p); }
    bool IsDirectory(const char* p) override { return Real().IsDirectory(p); }
    bool Exists(const char* p) override { return Real().Exists(p); }

private:
    static platform::FileSystem& Real() { return platform::SystemFileSystem(); }
    std::mutex m_;
    bool overrideCreation_ = false;
    std::optional<platform::LocalTime> creation_;
};

}  // namespace moldrin::testing
