// `moldrin keygen OUT`: a fresh 1024-bit RSA key in the RSA.BIN layout, scrambled.
// The library only reads keys; making them is this tool's job alone.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "log/file_helpers.h"
#include "platform/files.h"
#include "sign/bignum.h"
#include "sign/key_file.h"
#include "sign/rsa.h"
#include "tools/command.h"
#include "tools/options.h"

namespace moldrin::tools {
namespace {

using namespace moldrin::sign;

class Random {
public:
    uint32_t Next() { return static_cast<uint32_t>(device_()); }
    // A random number of exactly `bits` bits with its two top bits set, odd.
    bool Candidate(BigNum& x, size_t bits) {
        size_t limbs = (bits + 31) / 32;
        if (BnGrow(x, static_cast<int32_t>(limbs)) != kBnOk) return false;
        for (size_t i = 0; i < static_cast<size_t>(x.count); ++i) x.limbs[i] = i < limbs ? Next() : 0;
        size_t top = (bits - 1) % 32;
        uint32_t mask = top == 31 ? 0xFFFFFFFFu : ((1u << (top + 1)) - 1);
        x.limbs[limbs - 1] &= mask;
        x.limbs[limbs - 1] |= 1u << top;
        if (top) x.limbs[limbs - 1] |= 1u << (top - 1);
        x.limbs[0] |= 1u;
        x.sign = 1;
        return true;
    }

private:
    std::random_device device_;
};

uint32_t RemainderSmall(const BigNum& x, uint32_t d) {
    uint64_t r = 0;
    for (size_t i = BnSignificantLimbs(x); i-- > 0;) r = ((r << 32) | x.limbs[i]) % d;
    return static_cast<uint32_t>(r);
}

bool IsProbablePrime(const BigNum& n, Random& rng, int rounds) {
    static uint32_t small[600];
    static size_t smallCount = 0;
    if (!smallCount)
        for (uint32_t c = 3; smallCount < 600; c += 2) {
            bool prime = true;
            for (uint32_t d = 3; d * d <= c && prime; d += 2) prime = c % d != 0;
            if (prime) small[smallCount++] = c;
        }
    for (size_t i = 0; i < smallCount; ++i)
        if (RemainderSmall(n, small[i]) == 0) return false;

    BigNum nm1, d, a, x, two;
    BnSubInt(nm1, n, 1);
    BnCopy(d, nm1);
    size_t s = BnLowestSetBit(d);
    BnShiftRight(d, s);
    BnSet(two, 2);
    const size_t bits = BnBitLength(n);
    for (int r = 0; r < rounds; ++r) {
        // A witness below n - 1 and above 1.
        do {
            rng.Candidate(a, bits - 1);
        } while (BnCompareInt(a, 1) <= 0);
        if (BnModExp(x, a, d, n, nullptr) != kBnOk) return false;
        if (BnCompareInt(x, 1) == 0 || BnCompare(x, nm1) == 0) continue;
        bool witness = true;
        for (size_t k = 1; k < s && witness; ++k) {
            if (BnModExp(x, x, two, n, nullptr) != kBnOk) return false;
            if (BnCompare(x, nm1) == 0) witness = false;
        }
        if (witness) return false;
    }
    return true;
}

// x := a⁻¹ mod m by the extended Euclidean algorithm; false when there is none.
bool ModInverse(BigNum& x, const BigNum& a, const BigNum& m) {
    BigNum r0, r1, s0, s1, q, t, u;
    BnMod(r0, a, m);
    BnCopy(r1, m);
    BnSet(s0, 1);
    BnSet(s1, 0);
    while (BnCompareInt(r1, 0) != 0) {
        BnDivide(&q, &t, r0, r1);
        BnCopy(r0, r1);
        BnCopy(r1, t);
        BnMul(u, q, s1);
        BnSub(t, s0, u);
        BnCopy(s0, s1);
        BnCopy(s1, t);
    }
    if (BnCompareInt(r0, 1) != 0) return false;
    return BnMod(x, s0, m) == kBnOk;
}

void MakePrime(BigNum& p, const BigNum& e, Random& rng) {
    BigNum pm1, g;
    for (;;) {
        rng.Candidate(p, 512);
        if (!IsProbablePrime(p, rng, 40)) continue;
        BnSubInt(pm1, p, 1);
        BnGcd(g, pm1, e);
        if (BnCompareInt(g, 1) == 0) return;
    }
}

// The key image holds the private key in the clear until it is scrambled: it is
// wiped on every way out.
struct WipedImage {
    KeyImage image{};
    WipedImage() = default;
    WipedImage(const WipedImage&) = delete;
    WipedImage& operator=(const WipedImage&) = delete;
    ~WipedImage() { SecureWipe(image.data(), image.size()); }
};

int Run(int argc, char** argv) {
    Options options("moldrin keygen", "OUT", "Writes a new key file OUT (never over an existing file).\n");
    options.Arguments("OUT", 1, 1);
    std::vector<std::string> args;
    if (int status = options.Parse(argc, argv, args); status >= 0) return status;
    const char* out = args[0].c_str();
    if (platform::Files().Exists(out)) {
        std::fprintf(stderr, "moldrin keygen: %s exists; a key file is never overwritten\n", out);
        return 1;
    }
    Random rng;
    RsaKey key;
    BnSet(key.E, 65537);
    do {
        MakePrime(key.P, key.E, rng);
        MakePrime(key.Q, key.E, rng);
    } while (BnCompare(key.P, key.Q) == 0);
    BigNum p1, q1, phi;
    BnSubInt(p1, key.P, 1);
    BnSubInt(q1, key.Q, 1);
    BnMul(phi, p1, q1);
    BnMul(key.N, key.P, key.Q);
    if (!ModInverse(key.D, key.E, phi) || !ModInverse(key.QP, key.Q, key.P)) {
        std::fprintf(stderr, "moldrin keygen: no inverse; try again\n");
        return 1;
    }
    BnMod(key.DP, key.D, p1);
    BnMod(key.DQ, key.D, q1);
    key.ver = 1;
    key.len = 128;

    WipedImage wiped;
    KeyImage& image = wiped.image;
    StoreKeyWord(image, 0, key.ver);
    StoreKeyWord(image, 4, key.len);
    for (int i = kN; i <= kQP; ++i) StoreKeyNumber(image, i, key.Number(i));
    BigNum empty;  // the Montgomery constants are left for the library to compute
    for (int i = kRN; i <= kRQ; ++i) StoreKeyNumber(image, i, empty);
    // Both words non-zero, and B keeps every divisor of the scramble positive.
    int32_t a = 0;
    while (a == 0) a = static_cast<int32_t>(rng.Next());
    auto b = static_cast<int32_t>(1 + rng.Next() % 4095);
    StoreKeyWord(image, kKeyScrambledSize, a);
    StoreKeyWord(image, kKeyScrambledSize + 4, b);
    ScrambleKeyImage(image);

    // The key must pass the library's own checks and sign before it is written.
    RsaKey check;
    char text[33] = "0123456789ABCDEF0123456789ABCDEF";
    uint8_t sig[128];
    if (CheckKeyPair(image) != 0 || UnpackKey(image, check) != 0 || RsaSign(check, text, sig, sizeof sig) != 0 ||
        RsaVerify(check, text, sig, sizeof sig) != 0) {
        std::fprintf(stderr, "moldrin keygen: the new key failed its own checks\n");
        return 1;
    }
    // Only a file made here, readable by its owner alone: never one that was
    // there already, nor the target of a link planted at OUT.
    log::FileHandle h = log::FileCreateNew(out, true);
    if (h == log::kInvalidFile) {
        std::fprintf(stderr, "moldrin keygen: cannot create %s\n", out);
        return 1;
    }
    bool ok = log::FileWriteBlock(h, image.data(), kKeyFileSize) == static_cast<int32_t>(kKeyFileSize) &&
              platform::Files().Flush(h);
    ok = log::FileClose(h) == 0 && ok;
    if (!ok) {
        // A torn key file would only fail later, far from here.
        platform::Files().Delete(out);
        std::fprintf(stderr, "moldrin keygen: cannot write %s\n", out);
        return 1;
    }
    std::printf("%s: 1024-bit key written\n", out);
    return 0;
}

static RegisterCommand reg("keygen", "write a fresh 1024-bit RSA key file (RSA.BIN layout) to OUT", Run);

}  // namespace
}  // namespace moldrin::tools
