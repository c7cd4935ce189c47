// Fuzzes the replay of capture files: the input is a recipe of well-formed
// capture lines (commands, replies and status lines with random texts and good
// or bad check values) and of random bytes. The replay must end, release its
// item table, and leave only whole records of their type's width, in the work
// file and in every fiscal file it makes, whatever control bytes the texts hold.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "session/session_state.h"
#include "store/capture_state.h"
#include "store/registration.h"
#include "store/rfd_codec.h"
#include "fiscalfile/final_assembly.h"
#include "fiscalfile/fiscal_state.h"
#include "fiscalfile/processing.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "recipe.h"
#include "platform/operator.h"
#include "support/demo_identification.h"

using namespace moldrin;

namespace {

// Files held in memory by path: fast, and nothing touches the disk.
class MemoryFiles final : public platform::FileSystem {
public:
    std::map<std::string, std::string> files;

    platform::FileHandle Open(const char* path, unsigned, unsigned, platform::FileCreation how) override {
        auto it = files.find(path);
        if (how == platform::FileCreation::OpenExisting && it == files.end()) return platform::kInvalidFile;
        const bool createNew =
            how == platform::FileCreation::CreateNew || how == platform::FileCreation::CreateNewPrivate;
        if (createNew && it != files.end()) return platform::kInvalidFile;
        if (how != platform::FileCreation::OpenExisting) files[path].clear();
        const platform::FileHandle h = next_++;
        open_[h] = {path, 0};
        return h;
    }
    bool Close(platform::FileHandle h) override { return open_.erase(h) == 1; }
    bool Read(platform::FileHandle h, void* buffer, uint32_t n, uint32_t* done) override {
        auto& [path, at] = open_.at(h);
        const std::string& bytes = files[path];
        const std::size_t k = at < bytes.size() ? std::min<std::size_t>(n, bytes.size() - at) : 0;
        std::memcpy(buffer, bytes.data() + at, k);
        at += k;
        *done = static_cast<uint32_t>(k);
        return true;
    }
    bool Write(platform::FileHandle h, const void* data, uint32_t n, uint32_t* done) override {
        auto& [path, at] = open_.at(h);
        std::string& bytes = files[path];
        if (bytes.size() < at + n) bytes.resize(at + n);
        std::memcpy(bytes.data() + at, data, n);
        at += n;
        *done = n;
        return true;
    }
    bool Flush(platform::FileHandle) override { return true; }
    int64_t Seek(platform::FileHandle h, int64_t offset, int origin) override {
        auto& [path, at] = open_.at(h);
        const int64_t size = static_cast<int64_t>(files[path].size());
        const int64_t base = origin == 0 ? 0 : origin == 1 ? static_cast<int64_t>(at) : size;
        if (base + offset < 0) return -1;
        at = static_cast<std::size_t>(base + offset);
        return base + offset;
    }
    int64_t Size(platform::FileHandle h) override { return static_cast<int64_t>(files[open_.at(h).first].size()); }
    bool Truncate(platform::FileHandle h, int64_t size) override {
        if (size < 0) return false;
        files[open_.at(h).first].resize(static_cast<std::size_t>(size));
        return true;
    }
    std::optional<platform::LocalTime> CreationTime(platform::FileHandle) override { return std::nullopt; }
    bool Delete(const char* path) override { return files.erase(path) == 1; }
    bool Exists(const char* path) override { return files.count(path) == 1; }
    bool Rename(const char* from, const char* to) override {
        auto it = files.find(from);
        if (it == files.end()) return false;
        files[to] = it->second;
        files.erase(from);
        return true;
    }
    bool CreateDirectory(const char*) override { return true; }
    bool IsDirectory(const char*) override { return true; }

private:
    platform::FileHandle next_ = 3;
    std::map<platform::FileHandle, std::pair<std::string, std::size_t>> open_;
};

// Sleeping passes at once.
class StillClock final : public platform::Clock {
public:
    uint32_t TickMs() override { return tick_; }
    platform::LocalTime Now() override { return {2026, 12, 9, 10, 20, 30, 400, 3}; }
    void Sleep(uint32_t ms) override { tick_ += ms; }

private:
    uint32_t tick_ = 1000;
};

class SilentOperator final : public platform::Operator {
public:
    void InfoBox(const char*) override {}
    int QuestionBox(const char*) override { return 1; }
    int MessageBox(const char*, const char*, unsigned) override { return MOLDRIN_ID_OK; }
    int Identify(const char*, MoldrinIdentification& f) override {
        f = testing::DemoIdentification();
        return 1;
    }
};

using fuzz::Recipe;

constexpr int kNumbers[] = {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 27, 28, 29, 30};
constexpr char kTypes[] = "123456789ABCDEFGHIJKL|C";
// Mostly digits, with the letters and signs the replies carry, and the control
// bytes a product database or a printer may put into a text.
constexpr char kAlphabet[] = "0123456789012345678901234567890123456789 +-PCEVS}NT|.VENDAS ~>!]@)\r\n\t\x01\x7F";

// A recorded text: a command, a reply or a status line with random contents.
std::string TextFrom(Recipe& r) {
    const int n = kNumbers[r.byte() % (sizeof kNumbers / sizeof kNumbers[0])];
    char head[8];
    std::snprintf(head, sizeof head, "\x1B.%02d", n);
    std::string text = head;
    if (n >= 27 && n <= 29) {
        text += kTypes[r.byte() % (sizeof kTypes - 1)];
        if (r.byte() % 8) text += '|';
    }
    const size_t length = r.byte() % 8 == 0 ? r.byte() % 16 : 60 + r.byte() % 80;
    for (char c : r.take(length)) text += kAlphabet[static_cast<uint8_t>(c) % (sizeof kAlphabet - 1)];
    // A sale-day status now and then, so that coupons begin.
    if (n == 28 && r.byte() % 4 == 0 && text.size() > 24) text.replace(5 + 2, 16, "0001   P VENDAS ");
    // And a status 1 with a fiscal date and a model letter, without which no fiscal file is named.
    if (n == 27 && text.compare(4, 2, "1|") == 0 && r.byte() % 4 == 0) {
        if (text.size() < 6 + 125) text.resize(6 + 125, '0');
        text.replace(6 + 7, 6, "091226");
        text[6 + 124] = 'B';
    }
    return text + "}";
}

std::string LineFrom(Recipe& r) {
    const std::string text = TextFrom(r);
    const int day = 1 + r.byte() % 28, minute = r.byte() % 60, second = r.byte() % 60, milli = r.byte() * 3;
    // The check value covers the text up to its first "}".
    const std::string checked = text.substr(0, text.find('}') + 1);
    uint16_t check = capture::RfdLineChecksum(checked.c_str(), static_cast<uint32_t>(milli * second * minute * day));
    if (r.byte() % 16 == 0) check ^= 0x0101;
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%02d/12/2026 10:%02d:%02d.%03d <%04X> = ", day, minute, second, milli, check);
    return stamp + text + "\r\n";
}

std::string Encode(const std::string& line) {
    std::array<char, capture::kRfdRecordBuffer> out{};
    const int n = capture::RfdEncodeRecord(out, line.c_str());
    return n > 0 ? std::string(out.data(), static_cast<size_t>(n)) : std::string();
}

size_t RecordWidth(const std::string& type) {
    if (type == "E00") return 297;
    if (type == "E01") return 166;
    if (type == "E02") return 272;
    if (type == "E12") return 101;
    if (type == "E13") return 72;
    if (type == "E14") return 191;
    if (type == "E15") return 267;
    if (type == "E16") return 90;
    if (type == "E21") return 106;
    if (type == "EAD") return 259;
    return 0;
}

// Aborts unless `bytes` are whole lines, each a record of its type's width
// (`movement`: the work file's types only).
void CheckRecords(const std::string& what, const std::string& bytes, bool movement) {
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t end = bytes.find("\r\n", at);
        if (end == std::string::npos) {
            std::fprintf(stderr, "%s: a line without its CR LF at %zu\n", what.c_str(), at);
            std::abort();
        }
        const std::string line = bytes.substr(at, end - at);
        const std::string type = line.substr(0, 3);
        const bool allowed = !movement || type == "E14" || type == "E15" || type == "E16" || type == "E21";
        const size_t width = allowed ? RecordWidth(type) : 0;
        bool clean = true;
        for (unsigned char c : line) clean = clean && c >= 0x20 && c != 0x7F;
        if (width == 0 || line.size() != width || !clean) {
            std::fprintf(stderr, "%s: bad record (%zu): %s\n", what.c_str(), line.size(), line.c_str());
            std::abort();
        }
        at = end + 2;
    }
}

bool IsFinishedFile(const std::string& path) {
    const std::string dir = std::string(fiscalfile::kFinishedDirectory) + "\\";
    return path.compare(0, dir.size(), dir) == 0;
}

const char kCapture[] = "c:\\TALMA\\RFD\\RFD-09-Dezembro-2026.bin";

// The work file as each assembly found it (the assembly consumes it).
std::string g_work;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFiles files;
    static StillClock clock;
    static SilentOperator silent;
    static bool registered = [] {
        platform::SetFileSystem(&files);
        platform::SetClock(&clock);
        platform::SetOperator(&silent);
        capture::g_capture.ModelLetter = 'B';
        fiscalfile::SetAssemblyObserver([](int) { g_work += files.files[fiscalfile::kWorkFile]; });
        return capture::EnsureRegistration(0) != 0;
    }();
    if (!registered) std::abort();

    Recipe r(data, size);
    std::string bytes;
    while (r.more()) {
        switch (r.byte() % 6) {
            case 0: case 1: case 2: case 3: bytes += Encode(LineFrom(r)); break;
            case 4: bytes += r.take(r.byte()); break;  // random bytes
            case 5: {  // a record cut short
                const std::string record = Encode(LineFrom(r));
                if (record.size() > 1) bytes += record.substr(0, 1 + r.byte() % (record.size() - 1));
                break;
            }
        }
    }
    files.files[kCapture] = bytes;
    g_work.clear();
    // Each input makes its own fiscal file, not a merge with the last input's.
    std::erase_if(files.files, [](const auto& f) { return IsFinishedFile(f.first); });
    if (fiscalfile::ProcessRfdFile(kCapture) != 1) std::abort();
    if (fiscalfile::g_fiscal.ItemTable != nullptr) std::abort();

    // Only whole records of their own width.
    CheckRecords("work file", g_work, true);
    for (const auto& [path, content] : files.files)
        if (IsFinishedFile(path)) CheckRecords(path, content, false);
    return 0;
}
