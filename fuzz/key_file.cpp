// Fuzzes the 2920-byte key file image through signing and checking: whatever the bytes,
// the answer is 0, 4 or 6, nothing is read out of bounds, and what signs also verifies.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "sign/bignum.h"
#include "sign/ead.h"
#include "sign/key_file.h"

namespace {

using namespace moldrin::sign;

// A throw-away test key (generated for this target, used nowhere else).
const char* const kTestKey[8] = {
    "BB5009EA7F9DF3F944748BBF7D7E2EE2887FBABCDDD9E1272B18478DA10C131715428981FAA2DF85F64F5D5AB6D84778439527FC131C57"
    "CA50E744133718F9C20F3FCC01640865090D94951399990D4316DA8C3FC32E1323CF0F7B60C48ADF7319AE66AE67DF5715C6E340847900B0"
    "C8428999B4A634E56F74884D8CB94F4F89",
    "010001",
    "95B3E058F469AF05B77A55FE5333B81100FAE4A9F1BD22BF8527C07827105969876A483003BA8C5EAA7EBFA3B2A2A46C2FC753CF990E7BF3"
    "8C396924DA5231B95317859DA39FF1F943611825BD827A6D08B8D57A64D20B0B632C9CD0D69B2A85E7E888521ADFF16CB9B32971D7659742"
    "01788925B63F7884D907C9B86656E5A1",
    "DE99CD344594BA499F866039F0D40033BD23EE430A6FCBE076E8036BBB3CEF6E8FF7AFC1E24F97DE11356BF5731F0B3B20A9545927ACBF"
    "BD242F204B563F425D",
    "D76ACDBBFF276C56705252566E25BC9F820948BE0AD29778738DC3D80BD60F5EF99B6BDE1B7DE0691B86BBEE28ED8CAF77FB73D3B61B7446"
    "E84510D419E1471D",
    "A1B6C46034287F495B2E291C0EBC454551241844F6010FF10B1134E3000C9DB909B81C24538015494BE12E840B5543387A5AE99F37768579"
    "281F606BBAC58C35",
    "66F28BCFC468BAC5B47823115B227DBA5D12C2C8CFB344E0339914773370E177AA2234B2B8C0B77683C92816F148556BA6136D8F480066D9"
    "5C37658B77B2C9A1",
    "DCE77F8307780ACCD3780FEE10DEA3FF9ABB344985FBFBB494284B336EA86694DC2C711F2CA185786EA31305A4602E249A050729AFABE234"
    "C2D9D59D9F7EB9BD",
};

KeyImage GoodImage() {
    KeyImage image{};
    StoreKeyWord(image, 0, 1);
    StoreKeyWord(image, 4, 128);
    for (int i = 0; i < 8; ++i) {
        std::string hex = kTestKey[i];
        uint8_t bytes[128];
        size_t n = hex.size() / 2;
        for (size_t k = 0; k < n; ++k) bytes[k] = static_cast<uint8_t>(std::stoi(hex.substr(2 * k, 2), nullptr, 16));
        BigNum x;
        BnImport(x, bytes, n);
        StoreKeyNumber(image, i, x);
    }
    BigNum empty;
    for (int i = kRN; i <= kRQ; ++i) StoreKeyNumber(image, i, empty);
    return image;
}

struct Scratch {
    std::string dir, key, file;
    Scratch() {
        std::filesystem::path p = std::filesystem::temp_directory_path() /
                                  ("moldrin-fuzz-key-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(p);
        dir = p.string();
        key = (p / "RSA.BIN").string();
        file = (p / "TALMA.TXT").string();
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

void WriteFile(const std::string& path, const void* bytes, size_t n) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (n) std::fwrite(bytes, 1, n, f);
    std::fclose(f);
}

}  // namespace

// Input: a mode byte, then either the image itself (even mode: the bytes, truncated or
// zero-padded to 2920) or edits to a good key (odd mode: offset low, offset high, XOR
// byte triples, applied to the unscrambled image, which is then scrambled with the
// last eight edited bytes as words A and B).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    static const KeyImage good = GoodImage();
    if (size == 0) return 0;
    KeyImage image{};
    size_t keySize = kKeyFileSize;
    if (data[0] & 1) {
        image = good;
        for (size_t i = 1; i + 3 <= size; i += 3) {
            size_t at = (data[i] | (static_cast<size_t>(data[i + 1]) << 8)) % kKeyFileSize;
            image[at] ^= data[i + 2];
        }
        // Words that would divide by zero leave the image clear; the library must refuse it.
        ScrambleKeyImage(image);
    } else {
        size_t n = size - 1 < kKeyFileSize ? size - 1 : kKeyFileSize;
        std::memcpy(image.data(), data + 1, n);
        if (data[0] & 2) keySize = n;  // also try short files
    }
    WriteFile(scratch.key, image.data(), keySize);
    static const char content[] = "E00 fuzz\r\nE01 record\r\n";
    WriteFile(scratch.file, content, sizeof content - 1);

    uint16_t signedRc = SignFileWithKey(scratch.file.c_str(), scratch.key.c_str());
    if (signedRc != kSignOk && signedRc != kSignBadKey && signedRc != kSignNoKey) std::abort();
    uint16_t checkedRc = VerifyFileWithKey(scratch.file.c_str(), scratch.key.c_str());
    if (signedRc == kSignOk && checkedRc != kSignOk) std::abort();
    if (signedRc == kSignNoKey && checkedRc != kSignNoKey) std::abort();
    if (signedRc == kSignBadKey && checkedRc != kSignNotSigned) std::abort();
    return 0;
}
