// Packing, scrambling and check value of capture records, and their decoding.
// Which line is written where, and how files are read, is rfd_file/rfd_reader's.
#include "store/rfd_codec.h"

#include <array>
#include <cstring>

namespace moldrin::capture {

namespace {

constexpr uint8_t kRun = 0x01;
constexpr uint8_t kDigitsOpen = 0x02;
constexpr uint8_t kDigitsClose = 0x03;
constexpr uint8_t kEnd = 0x04;
constexpr uint8_t kControl = 0x05;
constexpr uint8_t kEscape = 0x00;
constexpr uint8_t kCr = 0x0D;
constexpr uint8_t kLf = 0x0A;
constexpr uint8_t kEsc = 0x1B;

// Longest run one position triple can hold.
constexpr int kRunMax = 127;
// Most digits one digit group holds: even, and its count fits the 8 bits the
// format keeps of it.
constexpr int kDigitGroupMax = 254;

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// The stored byte of position index k, before escaping.
uint8_t Scramble(uint8_t position, std::size_t k) {
    return static_cast<uint8_t>(position - static_cast<uint8_t>(k) - 0x7E);
}
uint8_t Unscramble(uint8_t stored, std::size_t k) {
    return static_cast<uint8_t>(stored + static_cast<uint8_t>(k) + 0x7E);
}
bool NeedsEscape(uint8_t b) { return b == 0x00 || b == kEnd || b == kCr || b == kLf; }

constexpr std::size_t kNoEnd = static_cast<std::size_t>(-1);

// Index of the record's 0x04 among its first kRfdStoredMax bytes.
std::size_t RecordEnd(std::span<const char> record) {
    const std::size_t limit = record.size() < kRfdStoredMax ? record.size() : kRfdStoredMax;
    const void* end = limit ? std::memchr(record.data(), kEnd, limit) : nullptr;
    return end ? static_cast<std::size_t>(static_cast<const char*>(end) - record.data()) : kNoEnd;
}

class Positions {
public:
    // False once the work area is full: the line does not fit.
    bool Put(uint8_t v) {
        if (n_ >= kRfdPositionsMax) return false;
        data_[n_++] = v;
        return true;
    }
    std::size_t size() const { return n_; }
    uint8_t operator[](std::size_t i) const { return data_[i]; }

private:
    std::array<uint8_t, kRfdPositionsMax> data_{};
    std::size_t n_ = 0;
};

}  // namespace

uint16_t RfdLineChecksum(const char* text, uint32_t seed) {
    if (!text) return 0;
    // The line's end first, then its bytes added in a loop without exits, which
    // the compiler can widen: every line of a replayed day is checked.
    const auto* bytes = reinterpret_cast<const uint8_t*>(text);
    std::size_t n = 0;
    while (bytes[n] >= 0x20 || bytes[n] == kEsc) ++n;
    uint32_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += bytes[i];
    sum += static_cast<uint32_t>(n) * (3068u - seed);
    return static_cast<uint16_t>(sum & 0xFFFFu);
}

int RfdEncodeRecord(std::span<char> out, const char* line) {
    if (!line || out.size() < kRfdStoredMax + 1) return 0;
    const auto* text = reinterpret_cast<const uint8_t*>(line);
    const std::size_t length = std::strlen(line);
    if (length < kRfdLineMin || length > kRfdLineMax) return 0;

    // The line is packed from its end towards its start.
    Positions pos;
    std::ptrdiff_t i = static_cast<std::ptrdiff_t>(length) - 1;
    while (i >= 0) {
        const uint8_t c = text[i];
        if (c >= 0x20) {
            int run = 1;
            while (run < kRunMax && i - run >= 0 && text[i - run] == c) ++run;
            if (run >= 3 && pos.size() + 4 < kRfdPositionsMax) {
                pos.Put(kRun);
                pos.Put(static_cast<uint8_t>(run | 0x80));
                pos.Put(c);
                i -= run;
                continue;
            }
        }
        if (IsDigit(c)) {
            int digits = 1;
            while (i - digits >= 0 && IsDigit(text[i - digits])) ++digits;
            if (digits >= 4) {
                // A run of 256 digits or more would keep no count at all in
                // 8 bits; longer runs go as several groups instead.
                int group = digits & ~1;
                if (group > kDigitGroupMax) group = kDigitGroupMax;
                if (!pos.Put(kDigitsOpen)) return 0;
                for (int k = 0; k < group; k += 2) {
                    const uint8_t d1 = text[i], d0 = text[i - 1];
                    if (!pos.Put(static_cast<uint8_t>((d1 & 0x0F) * 16 + (d0 & 0x0F) + 0x20))) return 0;
                    i -= 2;
                }
                if (!pos.Put(kDigitsClose)) return 0;
                continue;
            }
        }
        bool room = c < 0x20 ? pos.Put(kControl) && pos.Put(static_cast<uint8_t>(c | 0x80)) : pos.Put(c);
        // A line that needs more room than the work area is refused whole:
        // storing only its end would lose its time stamp, and the record with it.
        if (!room) return 0;
        --i;
    }

    const std::size_t n = pos.size();
    std::size_t o = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const uint8_t b = Scramble(pos[k], k);
        if (NeedsEscape(b)) {
            out[o++] = static_cast<char>(kEscape);
            out[o++] = static_cast<char>(b | 0x80);
        } else {
            out[o++] = static_cast<char>(b);
        }
        if (k == n / 2) {
            out[o++] = static_cast<char>(kCr);
            out[o++] = static_cast<char>(kLf);
        }
    }
    out[o++] = static_cast<char>(kEnd);
    out[o] = 0;
    return static_cast<int>(o);
}

int RfdDecodeRecord(std::span<char> out, std::span<const char> record) {
    if (out.size() < kRfdLineBuffer) return 0;
    out[0] = 0;

    // A day's replay decodes every record of the file once: the work areas are
    // left uninitialised (only what was written is read back) and each stage
    // runs over plain arrays.
    // Stored bytes back to positions; the record ends at its first 0x04.
    const std::size_t end = RecordEnd(record);
    if (end == kNoEnd) return 0;
    uint8_t pos[kRfdPositionsMax];
    std::size_t n = 0;
    const auto* stored = reinterpret_cast<const uint8_t*>(record.data());
    for (std::size_t j = 0; j < end; ++j) {
        uint8_t b = stored[j];
        // Nearly every stored byte is above the three that mean something here.
        if (b > kCr && n < kRfdPositionsMax) {
            pos[n] = Unscramble(b, n);
            ++n;
            continue;
        }
        if (b == kCr || b == kLf) continue;
        if (b == kEscape) {
            if (++j >= end) return 0;
            b = stored[j] & 0x7F;
        }
        if (n >= kRfdPositionsMax) return 0;
        pos[n] = Unscramble(b, n);
        ++n;
    }

    // Positions back to the reversed line, written from the end of a buffer
    // of the line's greatest length so that it comes out in reading order.
    char line[kRfdPositionsMax];
    std::size_t m = 0;
    char* const last = line + kRfdPositionsMax - 1;
    for (std::size_t k = 0; k < n; ++k) {
        const uint8_t v = pos[k];
        if (v == kRun) {
            if (k + 2 >= n) return 0;
            const std::size_t count = pos[k + 1] & 0x7F;
            if (m + count > kRfdPositionsMax) return 0;
            m += count;
            std::memset(last + 1 - m, pos[k + 2], count);
            k += 2;
        } else if (v == kDigitsOpen) {
            for (++k; k < n && pos[k] != kDigitsClose; ++k) {
                const uint8_t d = static_cast<uint8_t>(pos[k] - 0x20);
                if (m + 2 > kRfdPositionsMax) return 0;
                last[-static_cast<std::ptrdiff_t>(m++)] = static_cast<char>(d / 16 + 0x30);
                last[-static_cast<std::ptrdiff_t>(m++)] = static_cast<char>((d & 0x0F) + 0x30);
            }
        } else if (v == kControl) {
            if (k + 1 >= n) return 0;
            if (m >= kRfdPositionsMax) return 0;
            last[-static_cast<std::ptrdiff_t>(m++)] = static_cast<char>(pos[++k] & 0x7F);
        } else if (v == kEnd) {
            break;
        } else if (v == kCr || v == kLf) {
            continue;
        } else {
            if (m >= kRfdPositionsMax) return 0;
            last[-static_cast<std::ptrdiff_t>(m++)] = static_cast<char>(v);
        }
    }

    std::memcpy(out.data(), last + 1 - m, m);
    out[m] = 0;
    return static_cast<int>(m);
}

bool RfdRecordShapeValid(std::span<const char> record) {
    const std::size_t end = RecordEnd(record);
    if (end == kNoEnd || end + 1 != record.size()) return false;
    // n counts the positions, before those ahead of the first line break.
    std::size_t n = 0, before = 0, pairs = 0;
    for (std::size_t j = 0; j < end; ++j) {
        const auto b = static_cast<uint8_t>(record[j]);
        if (b > kCr) {  // the common case: none of the three bytes below
            ++n;
            continue;
        }
        if (b == kCr) {
            if (j + 1 >= end || static_cast<uint8_t>(record[j + 1]) != kLf) return false;
            if (pairs++ == 0) before = n;
            ++j;
            continue;
        }
        if (b == kLf) return false;
        if (b == kEscape && ++j >= end) return false;
        ++n;
    }
    if (pairs == 0) before = n;
    return pairs == 1 && n <= kRfdPositionsMax && before == n / 2 + 1;
}

uint32_t HexValue(const char* text, int maxDigits) {
    uint32_t value = 0;
    for (int i = 0; text && i < maxDigits; ++i) {
        const char c = text[i];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else break;
        value = (value << 4) | static_cast<uint32_t>(d);
    }
    return value;
}

}  // namespace moldrin::capture
