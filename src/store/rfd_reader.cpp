// Hands out the stored records of a capture file one by one, finding records
// again after damaged bytes. What a record means is for its decoder and reader.
#include "store/rfd_reader.h"

#include <algorithm>
#include <cstring>

#include "log/file_helpers.h"

namespace moldrin::capture {

namespace {

constexpr int kEndOfFile = -1;
constexpr char kEnd = 0x04;

RfdReadState g_read;

int Peek(RfdReadState& s, platform::FileHandle h) {
    if (s.carryPosition < s.carryLength) return static_cast<unsigned char>(s.carry[s.carryPosition]);
    if (s.blockPosition >= s.blockLength) {
        const int32_t n = log::FileReadBlock(h, s.block.data(), static_cast<uint32_t>(s.block.size()));
        if (n <= 0) return kEndOfFile;
        s.blockLength = static_cast<std::size_t>(n);
        s.blockPosition = 0;
    }
    return static_cast<unsigned char>(s.block[s.blockPosition]);
}

void Advance(RfdReadState& s) {
    if (s.carryPosition < s.carryLength) ++s.carryPosition;
    else ++s.blockPosition;
}

bool StartsRecordAt(const char* bytes, std::size_t length, std::size_t j) {
    const std::size_t n = std::min<std::size_t>(sizeof kRfdRecordStart, length - j);
    return std::memcmp(bytes + j, kRfdRecordStart, n) == 0;
}

// Where, after the first byte, a record of the writer begins inside `bytes`:
// damaged bytes (a record cut short, stray bytes) run on into the next record
// up to its 0x04, and would take that good record down with them. 0 when the
// bytes are one record, or no record start is found in them.
std::size_t FindRecordStart(const char* bytes, std::size_t length, bool ended) {
    if (ended && StartsRecordAt(bytes, length, 0) && RfdRecordShapeValid({bytes, length})) return 0;
    for (std::size_t j = 1; j < length; ++j) {
        if (!StartsRecordAt(bytes, length, j)) continue;
        // A cut chunk has no end yet: any start found is where the record resumes.
        if (!ended) return j;
        if (length - j >= sizeof kRfdRecordStart && RfdRecordShapeValid({bytes + j, length - j})) return j;
    }
    return 0;
}

// Hands bytes[from, length) back to be read again before anything else.
void HandBack(RfdReadState& s, const char* bytes, std::size_t from, std::size_t length) {
    std::array<char, kRfdRecordBuffer> merged{};
    std::size_t n = 0;
    for (std::size_t i = from; i < length && n < merged.size(); ++i) merged[n++] = bytes[i];
    for (std::size_t i = s.carryPosition; i < s.carryLength && n < merged.size(); ++i) merged[n++] = s.carry[i];
    s.carry = merged;
    s.carryLength = n;
    s.carryPosition = 0;
}

}  // namespace

int RfdReadRecord(RfdReadState& s, int restart, platform::FileHandle h, char* buffer, std::size_t size) {
    if (!buffer || size < kRfdRecordBuffer) return -1;
    if (restart == 0) {
        if (h == platform::kInvalidFile) return -1;
        s.blockLength = s.blockPosition = s.carryLength = s.carryPosition = 0;
        s.started = s.finished = false;
        if (log::FileSeek(h, 0, 0) != 0 || Peek(s, h) == kEndOfFile) return -1;
        s.started = true;
    } else if (!s.started || s.finished) {
        return -1;
    }

    int c;
    while ((c = Peek(s, h)) == kEnd) Advance(s);
    if (c == kEndOfFile) {
        s.finished = true;
        return -1;
    }

    // Records longer than any the writer makes are handed out in pieces.
    const std::size_t limit = kRfdRecordBuffer - 5;
    std::size_t length = 0;
    bool ended = false;
    while (length < limit && (c = Peek(s, h)) != kEndOfFile) {
        if (s.carryPosition >= s.carryLength) {
            // Straight from the block: up to the record's end in one move, as a
            // day's replay reads every record of the file this way.
            const char* from = s.block.data() + s.blockPosition;
            const std::size_t room = std::min(limit - length, s.blockLength - s.blockPosition);
            const void* end = std::memchr(from, kEnd, room);
            const std::size_t take = end ? static_cast<std::size_t>(static_cast<const char*>(end) - from) + 1 : room;
            std::memcpy(buffer + length, from, take);
            length += take;
            s.blockPosition += take;
            if (end) {
                ended = true;
                break;
            }
            continue;
        }
        Advance(s);
        buffer[length++] = static_cast<char>(c);
        if (c == kEnd) {
            ended = true;
            break;
        }
    }
    std::memset(buffer + length, 0, limit + 1 - length);
    if (!ended && length < limit) {
        // Cut by the end of the file: not a record.
        s.finished = true;
        return 0;
    }

    const std::size_t start = FindRecordStart(buffer, length, ended);
    if (start > 0) {
        HandBack(s, buffer, start, length);
        std::memset(buffer + start, 0, length - start);
        length = start;
    }
    buffer[length] = 0;
    return static_cast<int>(length);
}

int RfdReadRecord(int restart, platform::FileHandle h, char* buffer, std::size_t size) {
    return RfdReadRecord(g_read, restart, h, buffer, size);
}

}  // namespace moldrin::capture
