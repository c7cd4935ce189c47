// File digest text and hexadecimal coding for the EAD line.
// MD5 itself is md5's; which bytes are signed is decided by ead.
#include "sign/digest.h"

#include <cstring>
#include <memory>
#include <new>

#include "log/file_helpers.h"
#include "sign/md5.h"

namespace moldrin::sign {

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
// Large enough that the digest pass is bound by MD5, not by read calls (measured:
// 64 KiB reads cost a tenth more than the digest alone on a 50 MB file).
constexpr uint32_t kReadChunk = 256 * 1024;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
}  // namespace

void HexEncode(const uint8_t* bytes, size_t n, char* text) {
    for (size_t i = 0; i < n; ++i) {
        text[2 * i] = kHexDigits[bytes[i] >> 4];
        text[2 * i + 1] = kHexDigits[bytes[i] & 15];
    }
}

int HexDecode(const char* text, size_t n, uint8_t* bytes) {
    std::memset(bytes, 0, (n + 1) / 2);
    for (size_t i = 0; i < n; ++i) {
        int v = HexValue(text[i]);
        if (v < 0) return 0;
        bytes[i / 2] = static_cast<uint8_t>(bytes[i / 2] + (i % 2 ? v : v << 4));
    }
    return 1;
}

int FileDigestText(const char* path, int64_t length, char* text) {
    log::FileHandle h = log::FileOpenMode(path, 0);
    if (h == log::kInvalidFile) return 1;
    if (length < 0) {
        int32_t size = log::FileSeek(h, 0, 2);
        if (size < 0) {
            log::FileCloseHandle(h);
            return 1;
        }
        length = size;
    }
    if (log::FileSeek(h, 0, 0) != 0) {
        log::FileCloseHandle(h);
        return 1;
    }
    Md5Context ctx;
    Md5Start(ctx);
    static_assert(kReadChunk % 64 == 0);
    std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[kReadChunk]);
    if (!chunk) {
        log::FileCloseHandle(h);
        return 1;
    }
    uint8_t* buffer = chunk.get();
    int64_t done = 0;
    bool failed = false;
    while (done < length) {
        int64_t want = length - done;
        auto n = static_cast<uint32_t>(want < kReadChunk ? want : kReadChunk);
        int32_t got = log::FileReadBlock(h, buffer, n);
        // A refused read would leave a digest of part of the file that looks whole.
        if (got < 0) {
            failed = true;
            break;
        }
        if (got == 0) break;
        Md5Update(ctx, buffer, static_cast<size_t>(got));
        done += got;
    }
    log::FileCloseHandle(h);
    if (failed) return 1;
    uint8_t digest[16];
    Md5Finish(ctx, digest);
    HexEncode(digest, sizeof digest, text);
    return 0;
}

}  // namespace moldrin::sign
