// Decoding a capture file record by record, and the check a replay makes on
// each line; the file's format is the store's (store/rfd_codec.h, store/rfd_reader.h).
#include "tools/rfd_records.h"

#include <array>
#include <cstring>

#include "log/file_helpers.h"
#include "platform/files.h"
#include "store/rfd_codec.h"
#include "store/rfd_reader.h"
#include "tools/options.h"

namespace moldrin::tools {

namespace {

// The check a replay makes: the value between "<" and ">" against the text
// from the first ESC after "<" up to the first "}" after it, seeded from the stamp.
bool CheckValueHolds(const char* line) {
    const char* open = std::strchr(line, '<');
    if (!open || !std::strchr(open, '>')) return false;
    const char* esc = std::strchr(open, 0x1B);
    if (!esc) return false;
    const char* close = std::strchr(esc, '}');
    if (!close) return false;
    const uint32_t seed = static_cast<uint32_t>(log::ParseNumber(line + 20, 3)) * log::ParseNumber(line + 17, 2) *
                          log::ParseNumber(line + 14, 2) * log::ParseNumber(line, 2);
    const std::string text(esc, close + 1);
    return capture::RfdLineChecksum(text.c_str(), seed) == capture::HexValue(open + 1, 4);
}

}  // namespace

bool ReadRfdRecords(const char* path, std::vector<RfdRecord>* records, std::string* why) {
    const std::string unreadable = UnreadableReason(platform::HostPath(path));
    log::FileHandle h = unreadable.empty() ? log::FileOpenRead(path) : log::kInvalidFile;
    if (h == log::kInvalidFile) {
        if (why) *why = unreadable.empty() ? "cannot be opened" : unreadable;
        return false;
    }
    std::array<char, capture::kRfdRecordBuffer> record{};
    int n = capture::RfdReadRecord(0, h, record.data(), record.size());
    while (n > 0) {
        RfdRecord r;
        r.bytes = n;
        std::array<char, capture::kRfdLineBuffer> line{};
        if (capture::RfdDecodeRecord(line, {record.data(), static_cast<std::size_t>(n)}) <= 0) {
            r.kind = RfdRecord::Kind::Undecodable;
        } else {
            r.line = line.data();
            r.kind = CheckValueHolds(line.data()) ? RfdRecord::Kind::Good : RfdRecord::Kind::BadCheck;
        }
        records->push_back(std::move(r));
        n = capture::RfdReadRecord(1, h, record.data(), record.size());
    }
    if (n == 0) records->push_back({RfdRecord::Kind::Cut, {}, 0});
    log::FileClose(h);
    return true;
}

}  // namespace moldrin::tools
