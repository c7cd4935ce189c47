// The EAD line: finding and checking it at the end of a file, and appending it.
// Arithmetic, the key image and the digest pass belong to the other files here.
#include "sign/ead.h"

#include <cstring>

#include "log/file_helpers.h"
#include "platform/module.h"
#include "sign/digest.h"
#include "sign/key_file.h"
#include "sign/rsa.h"

namespace moldrin::sign {

namespace {

constexpr int32_t kWindowSize = 2048;
constexpr size_t kSignatureSize = 128;
constexpr size_t kHexSize = 2 * kSignatureSize;
constexpr size_t kMaxDirectory = 1023;

// The key image, scrambled or not, is key material: gone when the call ends.
struct WipedImage {
    KeyImage image;
    ~WipedImage() { SecureWipe(image.data(), image.size()); }
};

// The EAD line must start a line of its own, or no check will ever find it.
bool EndsWithLineFeedOrIsEmpty(const char* path) {
    log::FileHandle h = log::FileOpenMode(path, 0);
    if (h == log::kInvalidFile) return false;
    bool ok = false;
    int32_t size = log::FileSeek(h, 0, 2);
    if (size == 0) {
        ok = true;
    } else if (size > 0 && log::FileSeek(h, size - 1, 0) == size - 1) {
        char last = 0;
        ok = log::FileReadBlock(h, &last, 1) == 1 && last == '\n';
    }
    log::FileCloseHandle(h);
    return ok;
}

}  // namespace

std::string DirectoryOfPath(const char* path) {
    if (!path) return std::string();
    size_t n = std::strlen(path);
    // Host paths on posix separate with '/', Windows-form paths with '\'.
    size_t cut = 0;
    for (size_t i = 0; i < n; ++i)
        if (path[i] == '\\' || path[i] == '/') cut = i + 1;
    if (cut > kMaxDirectory) cut = kMaxDirectory;
    return std::string(path, cut);
}

std::string KeyFilePath() { return platform::ExecutableDirectory() + "RSA.BIN"; }

const char* SignResultText(uint16_t code) {
    switch (code) {
        case kSignOk: return "signed / signature valid";
        case kSignFileError: return "the file cannot be opened or read, or the signature did not read back";
        case kSignNotSigned: return "the last line is not an EAD line: the file is not signed";
        case kSignBadSignature: return "the EAD line is short or not hexadecimal, or the signature does not match";
        case kSignBadKey: return "the key fails its checks, or signing failed";
        case kSignNoKey: return "the key file is missing, short or empty";
        default: return "unknown result";
    }
}

namespace {

// Checks the EAD line of a file against a key already loaded (and unpacked, when
// `unpacked`); signing asks this first, so the key file is read only once.
uint16_t VerifyWithLoadedKey(const char* path, const KeyImage& image, RsaKey& key, bool unpacked) {
    log::FileHandle h = log::FileOpenMode(path, 0);
    if (h == log::kInvalidFile) return kSignFileError;
    const int32_t size = log::FileSeek(h, 0, 2);
    const int32_t start = size > kWindowSize ? size - kWindowSize : 0;
    uint8_t window[kWindowSize];
    int32_t n = -1;
    if (size >= 0 && log::FileSeek(h, start, 0) == start) n = log::FileReadBlock(h, window, static_cast<uint32_t>(size - start));
    log::FileCloseHandle(h);
    if (n < 0) return kSignFileError;

    if (n < 3) return kSignNotSigned;
    int32_t p = 3;
    for (int32_t q = n; q >= 4; --q)
        if (window[q - 4] == '\n') {
            p = q;
            break;
        }
    if (window[p - 3] != 'E' || window[p - 2] != 'A' || window[p - 1] != 'D') return kSignNotSigned;
    if (n - p < static_cast<int32_t>(kHexSize)) return kSignBadSignature;
    const int64_t signedLength = static_cast<int64_t>(size) - n + p - 3;

    if (!unpacked || CheckPublicKey(image) != 0) return kSignBadKey;
    uint8_t signature[kSignatureSize];
    if (!HexDecode(reinterpret_cast<const char*>(window + p), kHexSize, signature)) return kSignBadSignature;
    char text[kDigestTextSize];
    if (FileDigestText(path, signedLength, text) != 0) return kSignFileError;
    return RsaVerify(key, text, signature, kSignatureSize) == 0 ? kSignOk : kSignBadSignature;
}

}  // namespace

uint16_t VerifyFileWithKey(const char* path, const char* keyPath) {
    WipedImage held;
    KeyImage& image = held.image;
    if (LoadKeyFile(keyPath, image) != 0) return kSignNoKey;
    RsaKey key;
    const bool unpacked = UnpackKey(image, key) == 0;
    return VerifyWithLoadedKey(path, image, key, unpacked);
}

uint16_t SignFileWithKey(const char* path, const char* keyPath) {
    WipedImage held;
    KeyImage& image = held.image;
    if (LoadKeyFile(keyPath, image) != 0) return kSignNoKey;
    RsaKey key;
    const bool unpacked = UnpackKey(image, key) == 0;

    uint16_t verdict = VerifyWithLoadedKey(path, image, key, unpacked);
    if (verdict != kSignNotSigned) return verdict;
    if (!unpacked || CheckKeyPair(image) != 0) return kSignBadKey;
    if (!EndsWithLineFeedOrIsEmpty(path)) return kSignFileError;

    char text[kDigestTextSize];
    if (FileDigestText(path, -1, text) != 0) return kSignFileError;
    if (key.len != static_cast<int32_t>(kSignatureSize)) return kSignBadKey;
    uint8_t signature[kSignatureSize];
    if (RsaSign(key, text, signature, sizeof signature) != 0) return kSignBadKey;

    char line[kEadLineSize];
    line[0] = 'E';
    line[1] = 'A';
    line[2] = 'D';
    HexEncode(signature, kSignatureSize, line + 3);
    line[3 + kHexSize] = '\r';
    line[4 + kHexSize] = '\n';

    log::FileHandle h = log::FileOpenMode(path, 1);
    int32_t end = -1;
    if (h != log::kInvalidFile) {
        end = log::FileSeek(h, 0, 2);
        if (end >= 0) log::FileWriteBlock(h, line, sizeof line);
        log::FileCloseHandle(h);
    }
    if (end < 0) return kSignFileError;

    char back[kHexSize];
    int32_t got = -1;
    h = log::FileOpenMode(path, 0);
    if (h == log::kInvalidFile) return kSignFileError;
    if (log::FileSeek(h, end + 3, 0) == end + 3) got = log::FileReadBlock(h, back, sizeof back);
    log::FileCloseHandle(h);
    if (got != static_cast<int32_t>(kHexSize) || std::memcmp(back, line + 3, kHexSize) != 0) return kSignFileError;
    return kSignOk;
}

uint16_t SignFiscalFile(const char* path, std::span<char> location) {
    if (!location.empty()) {
        std::string exe = platform::ExecutablePath();
        size_t n = exe.size();
        if (n > kLocationSize - 1) n = kLocationSize - 1;
        if (n > location.size() - 1) n = location.size() - 1;
        std::memcpy(location.data(), exe.data(), n);
        location[n] = 0;
    }
    return SignFileWithKey(path, KeyFilePath().c_str());
}

uint16_t VerifyFileSignature(const char* path) { return VerifyFileWithKey(path, KeyFilePath().c_str()); }

}  // namespace moldrin::sign
