// Fuzzes the capture-file reader: the input is a recipe of good records, cut
// records, 0x04 runs and stray bytes. The reader must end, and hand out every
// good record, in order.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "store/rfd_codec.h"
#include "store/rfd_reader.h"
#include "log/file_helpers.h"
#include "platform/files.h"
#include "recipe.h"

using namespace moldrin;
using namespace moldrin::capture;

namespace {

// One file held in memory: fast, and nothing touches the disk.
class MemoryFile final : public platform::FileSystem {
public:
    std::string bytes;
    std::size_t position = 0;

    platform::FileHandle Open(const char*, unsigned, unsigned, platform::FileCreation) override {
        position = 0;
        return 7;
    }
    bool Close(platform::FileHandle) override { return true; }
    bool Read(platform::FileHandle, void* buffer, uint32_t n, uint32_t* done) override {
        const std::size_t k = std::min<std::size_t>(n, bytes.size() - position);
        std::memcpy(buffer, bytes.data() + position, k);
        position += k;
        *done = static_cast<uint32_t>(k);
        return true;
    }
    bool Write(platform::FileHandle, const void*, uint32_t, uint32_t*) override { return false; }
    bool Flush(platform::FileHandle) override { return true; }
    int64_t Seek(platform::FileHandle, int64_t offset, int origin) override {
        const int64_t base = origin == 0 ? 0 : origin == 1 ? static_cast<int64_t>(position) : static_cast<int64_t>(bytes.size());
        if (base + offset < 0 || base + offset > static_cast<int64_t>(bytes.size())) return -1;
        position = static_cast<std::size_t>(base + offset);
        return static_cast<int64_t>(position);
    }
    int64_t Size(platform::FileHandle) override { return static_cast<int64_t>(bytes.size()); }
    bool Truncate(platform::FileHandle, int64_t) override { return false; }
    std::optional<platform::LocalTime> CreationTime(platform::FileHandle) override { return std::nullopt; }
    bool Delete(const char*) override { return false; }
    bool Rename(const char*, const char*) override { return false; }
    bool CreateDirectory(const char*) override { return false; }
    bool IsDirectory(const char*) override { return false; }
    bool Exists(const char*) override { return true; }
};

using fuzz::Recipe;

std::string Encode(const std::string& line) {
    std::array<char, kRfdRecordBuffer> out{};
    const int n = RfdEncodeRecord(out, line.c_str());
    return n > 0 ? std::string(out.data(), static_cast<size_t>(n)) : std::string();
}

// A line as the writer makes it, around text taken from the recipe.
std::string LineFrom(Recipe& r) {
    const size_t length = static_cast<size_t>(r.byte()) * 2;
    std::string text = "\x1B." + r.take(length);
    for (char& c : text)
        if (c == 0) c = ' ';
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "05/03/2008 10:%02u:%02u.%03u <0000> = ", r.byte() % 60u, r.byte() % 60u,
                  r.byte() * 3u);
    return stamp + text + "}\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFile file;
    platform::SetFileSystem(&file);
    file.bytes.clear();

    Recipe r(data, size);
    std::vector<std::string> good;
    while (r.more()) {
        switch (r.byte() % 5) {
            case 0:
            case 1: {  // a good record
                const std::string line = LineFrom(r);
                const std::string record = Encode(line);
                if (record.empty()) break;
                file.bytes += record;
                good.push_back(line);
                break;
            }
            case 2: {  // a record cut short, as a crash while writing leaves it
                const std::string record = Encode(LineFrom(r));
                if (record.size() > 1) file.bytes += record.substr(0, 1 + (r.byte() * 5u) % (record.size() - 1));
                break;
            }
            case 3:  // a run of record ends
                file.bytes.append(1 + r.byte() % 8, '\x04');
                break;
            case 4:  // stray bytes
                file.bytes += r.take(static_cast<size_t>(r.byte()) * 8);
                break;
        }
    }

    auto h = log::FileOpenRead("c:\\fuzz.bin");
    std::array<char, kRfdRecordBuffer> record{};
    std::vector<std::string> lines;
    int n = RfdReadRecord(0, h, record.data(), record.size());
    size_t calls = 0;
    while (n > 0) {
        if (++calls > file.bytes.size() + 2) std::abort();  // every record takes at least one byte
        if (static_cast<size_t>(n) >= record.size() || record[static_cast<size_t>(n)] != 0) std::abort();
        std::array<char, kRfdLineBuffer> line{};
        if (RfdDecodeRecord(line, {record.data(), static_cast<size_t>(n)}) > 0) lines.emplace_back(line.data());
        n = RfdReadRecord(1, h, record.data(), record.size());
    }
    if (RfdReadRecord(1, h, record.data(), record.size()) != -1) std::abort();

    // Every good record, in order, among what was read.
    size_t next = 0;
    for (const auto& line : lines)
        if (next < good.size() && line == good[next]) ++next;
    if (next != good.size()) std::abort();
    platform::SetFileSystem(nullptr);
    return 0;
}
