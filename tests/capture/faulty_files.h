// The system's file system with faults switched on by a test: refused writes,
// short writes, failed flushes and closes.
#pragma once
#include "platform/files.h"

namespace moldrin::testing {

class FaultyFiles final : public platform::FileSystem {
public:
    FaultyFiles() { platform::SetFileSystem(this); }
    ~FaultyFiles() override { platform::SetFileSystem(nullptr); }

    bool shortWrite = false;   // writes stop halfway
    bool failFlush = false;
    bool failClose = false;    // the file is closed, but the close reports failure
    bool failRename = false;

    platform::FileHandle Open(const char* p, unsigned a, unsigned s, platform::FileCreation c) override {
        return sys().Open(p, a, s, c);
    }
    bool Close(platform::FileHandle h) override { return sys().Close(h) && !failClose; }
    bool Read(platform::FileHandle h, void* b, uint32_t n, uint32_t* d) override { return sys().Read(h, b, n, d); }
    bool Write(platform::FileHandle h, const void* b, uint32_t n, uint32_t* d) override {
        return sys().Write(h, b, shortWrite ? n / 2 : n, d);
    }
    bool Flush(platform::FileHandle h) override { return !failFlush && sys().Flush(h); }
    int64_t Seek(platform::FileHandle h, int64_t o, int w) override { return sys().Seek(h, o, w); }
    int64_t Size(platform::FileHandle h) override { return sys().Size(h); }
    std::optional<platform::LocalTime> CreationTime(platform::FileHandle h) override { return sys().CreationTime(h); }
    bool Delete(const char* p) override { return sys().Delete(p); }
    bool Rename(const char* f, const char* t) override { return !failRename && sys().Rename(f, t); }
    bool CreateDirectory(const char* p) override { return sys().CreateDirectory(p); }
    bool IsDirectory(const char* p) override { return sys().IsDirectory(p); }

private:
    static platform::FileSystem& sys() { return platform::SystemFileSystem(); }
};

}  // namespace moldrin::testing
