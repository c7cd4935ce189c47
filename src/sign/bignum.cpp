// Multi-precision arithmetic: limb storage, add/sub/mul, long division, binary GCD and
// Montgomery exponentiation with a sliding window. Nothing here knows about keys or files.
#include "sign/bignum.h"

#include <cstring>
#include <new>
#include <utility>

namespace moldrin::sign {

namespace {

using u64 = uint64_t;
// Montgomery words: 64 bits where the compiler has a 128-bit product, else 32 (as on
// 32-bit Windows); MOLDRIN_BN_32BIT_WORDS forces the narrow path for testing it here.
#if defined(__SIZEOF_INT128__) && !defined(MOLDRIN_BN_32BIT_WORDS)
using Word = uint64_t;
using DWord = unsigned __int128;
#else
using Word = uint32_t;
using DWord = uint64_t;
#endif
constexpr unsigned kWordBits = sizeof(Word) * 8;

// Unrolling the fixed-size products lets GCC keep the running row in registers; clang
// unrolls them unasked and warns about the runtime-size instance.
#if defined(__clang__)
#define MOLDRIN_UNROLL
#else
#define MOLDRIN_UNROLL _Pragma("GCC unroll 16")
#endif
constexpr size_t kLimbsPerWord = sizeof(Word) / sizeof(uint32_t);

constexpr size_t kMaxLimbs = 0x7FFFFFFF;

size_t Sig(const BigNum& x) {
    size_t n = x.count > 0 ? static_cast<size_t>(x.count) : 0;
    while (n > 0 && x.limbs[n - 1] == 0) --n;
    return n;
}

// Sign as seen by the arithmetic: zero and never-set numbers count as positive.
int Sgn(const BigNum& x) { return (x.sign < 0 && Sig(x) != 0) ? -1 : 1; }

void Swap(BigNum& a, BigNum& b) {
    std::swap(a.sign, b.sign);
    std::swap(a.count, b.count);
    std::swap(a.limbs, b.limbs);
}

// A fresh number of n zeroed limbs (at least one) with the given sign.
int Fresh(BigNum& t, size_t n, int sign) {
    if (n > kMaxLimbs) return kBnNoMemory;
    if (n == 0) n = 1;
    if (int rc = BnGrow(t, static_cast<int32_t>(n))) return rc;
    std::memset(t.limbs, 0, static_cast<size_t>(t.count) * sizeof(uint32_t));
    t.sign = sign;
    return kBnOk;
}

// Normalises the sign of a result so that zero is never negative.
void FixSign(BigNum& x, int sign) { x.sign = (sign < 0 && Sig(x) != 0) ? -1 : 1; }

int CompareLimbs(const uint32_t* a, size_t na, const uint32_t* b, size_t nb) {
    if (na != nb) return na < nb ? -1 : 1;
    for (size_t i = na; i-- > 0;)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

// |a| + |b| into a fresh number.
int AddMagnitudes(BigNum& t, const BigNum& a, const BigNum& b) {
    const BigNum* l = &a;
    const BigNum* s = &b;
    if (Sig(a) < Sig(b)) std::swap(l, s);
    size_t nl = Sig(*l), ns = Sig(*s);
    if (int rc = Fresh(t, nl + 1, 1)) return rc;
    u64 carry = 0;
    for (size_t i = 0; i < nl; ++i) {
        u64 v = static_cast<u64>(l->limbs[i]) + (i < ns ? s->limbs[i] : 0u) + carry;
        t.limbs[i] = static_cast<uint32_t>(v);
        carry = v >> 32;
    }
    t.limbs[nl] = static_cast<uint32_t>(carry);
    return kBnOk;
}

// |a| - |b| into a fresh number; the caller made sure |a| >= |b|.
int SubMagnitudes(BigNum& t, const BigNum& a, const BigNum& b) {
    size_t na = Sig(a), nb = Sig(b);
    if (int rc = Fresh(t, na, 1)) return rc;
    uint32_t borrow = 0;
    for (size_t i = 0; i < na; ++i) {
        u64 v = static_cast<u64>(a.limbs[i]) - (i < nb ? b.limbs[i] : 0u) - borrow;
        t.limbs[i] = static_cast<uint32_t>(v);
        borrow = static_cast<uint32_t>(v >> 63);
    }
    return kBnOk;
}

// x -= y in place on magnitudes, |x| >= |y|; used by the GCD loop to avoid allocations.
void SubInPlace(BigNum& x, const BigNum& y) {
    size_t nx = Sig(x), ny = Sig(y);
    uint32_t borrow = 0;
    for (size_t i = 0; i < nx; ++i) {
        u64 v = static_cast<u64>(x.limbs[i]) - (i < ny ? y.limbs[i] : 0u) - borrow;
        x.limbs[i] = static_cast<uint32_t>(v);
        borrow = static_cast<uint32_t>(v >> 63);
    }
}

// Signed addition of a and (bsign × |b|).
int AddSigned(BigNum& x, const BigNum& a, const BigNum& b, int bsign) {
    int as = Sgn(a);
    BigNum t;
    int rc;
    int sign;
    if (as == bsign) {
        rc = AddMagnitudes(t, a, b);
        sign = as;
    } else if (BnCompareAbs(a, b) >= 0) {
        rc = SubMagnitudes(t, a, b);
        sign = as;
    } else {
        rc = SubMagnitudes(t, b, a);
        sign = bsign;
    }
    if (rc) return rc;
    FixSign(t, sign);
    Swap(x, t);
    return kBnOk;
}

// Long division of magnitudes, normalised so the divisor's top limb has its top bit
// set; q gets na - nb + 1 limbs, r gets nb limbs.
int DivideMagnitudes(BigNum& q, BigNum& r, const BigNum& a, const BigNum& b) {
    size_t na = Sig(a), nb = Sig(b);
    if (nb == 0) return kBnDivideByZero;
    if (CompareLimbs(a.limbs, na, b.limbs, nb) < 0) {
        if (int rc = Fresh(q, 1, 1)) return rc;
        if (int rc = Fresh(r, na, 1)) return rc;
        if (na) std::memcpy(r.limbs, a.limbs, na * sizeof(uint32_t));
        return kBnOk;
    }
    if (int rc = Fresh(q, na - nb + 1, 1)) return rc;
    if (int rc = Fresh(r, nb, 1)) return rc;
    if (nb == 1) {
        u64 d = b.limbs[0], rem = 0;
        for (size_t i = na; i-- > 0;) {
            u64 cur = (rem << 32) | a.limbs[i];
            q.limbs[i] = static_cast<uint32_t>(cur / d);
            rem = cur % d;
        }
        r.limbs[0] = static_cast<uint32_t>(rem);
        return kBnOk;
    }
    BigNum un, vn;
    if (int rc = Fresh(un, na + 1, 1)) return rc;
    if (int rc = Fresh(vn, nb, 1)) return rc;
    int s = __builtin_clz(b.limbs[nb - 1]);
    uint32_t* v = vn.limbs;
    uint32_t* u = un.limbs;
    if (s) {
        for (size_t i = nb - 1; i > 0; --i) v[i] = (b.limbs[i] << s) | (b.limbs[i - 1] >> (32 - s));
        v[0] = b.limbs[0] << s;
        u[na] = a.limbs[na - 1] >> (32 - s);
        for (size_t i = na - 1; i > 0; --i) u[i] = (a.limbs[i] << s) | (a.limbs[i - 1] >> (32 - s));
        u[0] = a.limbs[0] << s;
    } else {
        std::memcpy(v, b.limbs, nb * sizeof(uint32_t));
        std::memcpy(u, a.limbs, na * sizeof(uint32_t));
        u[na] = 0;
    }
    const u64 base = 1ull << 32;
    for (size_t j = na - nb + 1; j-- > 0;) {
        u64 num = (static_cast<u64>(u[j + nb]) << 32) | u[j + nb - 1];
        u64 qhat = num / v[nb - 1];
        u64 rhat = num % v[nb - 1];
        while (qhat >= base || qhat * v[nb - 2] > ((rhat << 32) | u[j + nb - 2])) {
            --qhat;
            rhat += v[nb - 1];
            if (rhat >= base) break;
        }
        int64_t k = 0;
        int64_t t = 0;
        for (size_t i = 0; i < nb; ++i) {
            u64 p = qhat * v[i];
            t = static_cast<int64_t>(u[i + j]) - k - static_cast<int64_t>(p & 0xFFFFFFFFu);
            u[i + j] = static_cast<uint32_t>(t);
            k = static_cast<int64_t>(p >> 32) - (t >> 32);
        }
        t = static_cast<int64_t>(u[j + nb]) - k;
        u[j + nb] = static_cast<uint32_t>(t);
        if (t < 0) {
            --qhat;
            u64 c = 0;
            for (size_t i = 0; i < nb; ++i) {
                u64 w = static_cast<u64>(u[i + j]) + v[i] + c;
                u[i + j] = static_cast<uint32_t>(w);
                c = w >> 32;
            }
            u[j + nb] = static_cast<uint32_t>(u[j + nb] + c);
        }
        q.limbs[j] = static_cast<uint32_t>(qhat);
    }
    if (s) {
        for (size_t i = 0; i < nb; ++i) r.limbs[i] = (u[i] >> s) | (u[i + 1] << (32 - s));
    } else {
        std::memcpy(r.limbs, u, nb * sizeof(uint32_t));
    }
    return kBnOk;
}

// ---- Montgomery arithmetic on words of one or two limbs ----

// One pass per word of a: the product row and the reduction row share a loop, so the
// two carry chains run side by side. t has m + 1 words; r may alias a or b.
// Result < n when a, b < n.
template <size_t M>
void MontMul(Word* r, const Word* a, const Word* b, const Word* n, Word n0, size_t mr, Word* scratch) {
    const size_t m = M ? M : mr;
    Word fixed[M ? M + 1 : 1];
    Word* t = M ? fixed : scratch;
    for (size_t i = 0; i <= m; ++i) t[i] = 0;
MOLDRIN_UNROLL
    for (size_t i = 0; i < m; ++i) {
        const Word ai = a[i];
        DWord p1 = static_cast<DWord>(ai) * b[0] + t[0];
        Word c1 = static_cast<Word>(p1 >> kWordBits);
        const Word lo = static_cast<Word>(p1);
        const Word q = lo * n0;
        DWord p2 = static_cast<DWord>(q) * n[0] + lo;
        Word c2 = static_cast<Word>(p2 >> kWordBits);
MOLDRIN_UNROLL
        for (size_t j = 1; j < m; ++j) {
            p1 = static_cast<DWord>(ai) * b[j] + t[j] + c1;
            c1 = static_cast<Word>(p1 >> kWordBits);
            p2 = static_cast<DWord>(q) * n[j] + static_cast<Word>(p1) + c2;
            c2 = static_cast<Word>(p2 >> kWordBits);
            t[j - 1] = static_cast<Word>(p2);
        }
        DWord s = static_cast<DWord>(t[m]) + c1 + c2;
        t[m - 1] = static_cast<Word>(s);
        t[m] = static_cast<Word>(s >> kWordBits);
    }
    Word borrow = 0;
MOLDRIN_UNROLL
    for (size_t j = 0; j < m; ++j) {
        DWord d = static_cast<DWord>(t[j]) - n[j] - borrow;
        r[j] = static_cast<Word>(d);
        borrow = static_cast<Word>(d >> kWordBits) & 1u;
    }
    if (t[m] == 0 && borrow)
        for (size_t j = 0; j < m; ++j) r[j] = t[j];
    // The row held values derived from the private key; the stack keeps no copy.
    if constexpr (M != 0) {
        volatile Word* row = fixed;
        for (size_t j = 0; j <= M; ++j) row[j] = 0;
    }
}

using MontMulFn = void (*)(Word*, const Word*, const Word*, const Word*, Word, size_t, Word*);

// Fixed sizes let the compiler keep the running row in registers; squaring goes
// through the same routine, which measured faster than a separate one.
MontMulFn SelectMontMul(size_t m) {
    switch (m) {
        case 4: return MontMul<4>;
        case 8: return MontMul<8>;
        case 16: return MontMul<16>;
        case 32: return MontMul<32>;
        default: return MontMul<0>;
    }
}

void ToWords(Word* w, size_t m, const BigNum& x) {
    size_t n = Sig(x);
    for (size_t i = 0; i < m; ++i) {
        Word v = 0;
        for (size_t k = kLimbsPerWord; k-- > 0;) {
            size_t at = i * kLimbsPerWord + k;
            v = static_cast<Word>((static_cast<DWord>(v) << 32) | (at < n ? x.limbs[at] : 0u));
        }
        w[i] = v;
    }
}

int WindowWidth(size_t bits) {
    if (bits > 671) return 6;
    if (bits > 239) return 5;
    if (bits > 79) return 4;
    if (bits > 23) return 3;
    return 1;
}

// Scratch words for one exponentiation, wiped before they go back.
struct WordBuffer {
    Word* p = nullptr;
    size_t n = 0;
    explicit WordBuffer(size_t count) : p(new (std::nothrow) Word[count]()), n(p ? count : 0) {}
    ~WordBuffer() {
        if (p) {
            SecureWipe(p, n * sizeof(Word));
            delete[] p;
        }
    }
    WordBuffer(const WordBuffer&) = delete;
    WordBuffer& operator=(const WordBuffer&) = delete;
};

bool Bit(const BigNum& e, size_t i) { return (e.limbs[i >> 5] >> (i & 31)) & 1u; }

}  // namespace

void SecureWipe(void* p, size_t n) {
    volatile unsigned char* b = static_cast<volatile unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) b[i] = 0;
}

BigNum::~BigNum() { BnRelease(*this); }

BigNum::BigNum(BigNum&& other) noexcept { Swap(*this, other); }

BigNum& BigNum::operator=(BigNum&& other) noexcept {
    if (this != &other) {
        BnRelease(*this);
        Swap(*this, other);
    }
    return *this;
}

void BnInit(std::initializer_list<BigNum*> numbers) {
    for (BigNum* x : numbers) {
        if (!x) break;
        x->sign = 0;
        x->count = 0;
        x->limbs = nullptr;
    }
}

void BnRelease(BigNum& x) {
    if (x.limbs) {
        SecureWipe(x.limbs, static_cast<size_t>(x.count) * sizeof(uint32_t));
        delete[] x.limbs;
    }
    x.limbs = nullptr;
    x.count = 0;
    x.sign = 0;
}

void BnRelease(std::initializer_list<BigNum*> numbers) {
    for (BigNum* x : numbers) {
        if (!x) break;
        BnRelease(*x);
    }
}

int BnGrow(BigNum& x, int32_t limbs) {
    if (limbs <= x.count) return kBnOk;
    auto* fresh = new (std::nothrow) uint32_t[static_cast<size_t>(limbs)];
    if (!fresh) return kBnNoMemory;
    size_t old = x.count > 0 ? static_cast<size_t>(x.count) : 0;
    if (old) std::memcpy(fresh, x.limbs, old * sizeof(uint32_t));
    std::memset(fresh + old, 0, (static_cast<size_t>(limbs) - old) * sizeof(uint32_t));
    if (x.limbs) {
        SecureWipe(x.limbs, old * sizeof(uint32_t));
        delete[] x.limbs;
    }
    x.limbs = fresh;
    x.count = limbs;
    if (x.sign == 0) x.sign = 1;
    return kBnOk;
}

int BnCopy(BigNum& x, const BigNum& a) {
    if (&x == &a) return kBnOk;
    size_t n = Sig(a);
    if (int rc = BnGrow(x, static_cast<int32_t>(n ? n : 1))) return rc;
    std::memset(x.limbs, 0, static_cast<size_t>(x.count) * sizeof(uint32_t));
    if (n) std::memcpy(x.limbs, a.limbs, n * sizeof(uint32_t));
    FixSign(x, a.sign);
    return kBnOk;
}

int BnSet(BigNum& x, int32_t z) {
    if (int rc = BnGrow(x, 1)) return rc;
    std::memset(x.limbs, 0, static_cast<size_t>(x.count) * sizeof(uint32_t));
    x.limbs[0] = z < 0 ? 0u - static_cast<uint32_t>(z) : static_cast<uint32_t>(z);
    x.sign = z < 0 ? -1 : 1;
    return kBnOk;
}

int BnImport(BigNum& x, const uint8_t* bytes, size_t n) {
    while (n > 0 && *bytes == 0) {
        ++bytes;
        --n;
    }
    size_t limbs = (n + 3) / 4;
    if (limbs > kMaxLimbs) return kBnNoMemory;
    if (int rc = BnGrow(x, static_cast<int32_t>(limbs ? limbs : 1))) return rc;
    std::memset(x.limbs, 0, static_cast<size_t>(x.count) * sizeof(uint32_t));
    for (size_t k = 0; k < n; ++k) x.limbs[k / 4] |= static_cast<uint32_t>(bytes[n - 1 - k]) << (8 * (k % 4));
    x.sign = 1;
    return kBnOk;
}

int BnExport(const BigNum& x, uint8_t* bytes, size_t* size) {
    size_t needed = (BnBitLength(x) + 7) / 8;
    if (*size < needed) {
        *size = needed;
        return kBnBufferTooSmall;
    }
    size_t n = *size;
    for (size_t k = 0; k < n; ++k)
        bytes[n - 1 - k] = k < needed ? static_cast<uint8_t>(x.limbs[k / 4] >> (8 * (k % 4))) : 0;
    return kBnOk;
}

size_t BnSignificantLimbs(const BigNum& x) { return Sig(x); }

size_t BnBitLength(const BigNum& x) {
    size_t n = Sig(x);
    if (n == 0) return 0;
    return (n - 1) * 32 + static_cast<size_t>(32 - __builtin_clz(x.limbs[n - 1]));
}

size_t BnLowestSetBit(const BigNum& x) {
    size_t n = Sig(x);
    for (size_t i = 0; i < n; ++i)
        if (x.limbs[i]) return i * 32 + static_cast<size_t>(__builtin_ctz(x.limbs[i]));
    return 0;
}

int BnShiftLeft(BigNum& x, size_t bits) {
    size_t n = Sig(x);
    if (n == 0 || bits == 0) return kBnOk;
    size_t limbShift = bits / 32;
    unsigned s = bits % 32;
    size_t need = n + limbShift + 1;
    if (need > kMaxLimbs) return kBnNoMemory;
    if (int rc = BnGrow(x, static_cast<int32_t>(need))) return rc;
    uint32_t* l = x.limbs;
    for (size_t i = n + 1; i-- > 0;) {
        uint32_t hi = i < n ? l[i] : 0;
        uint32_t lo = i > 0 ? l[i - 1] : 0;
        l[i + limbShift] = s ? (hi << s) | (lo >> (32 - s)) : hi;
    }
    for (size_t i = 0; i < limbShift; ++i) l[i] = 0;
    return kBnOk;
}

int BnShiftRight(BigNum& x, size_t bits) {
    size_t n = Sig(x);
    if (n == 0 || bits == 0) return kBnOk;
    size_t limbShift = bits / 32;
    unsigned s = bits % 32;
    uint32_t* l = x.limbs;
    if (limbShift >= n) {
        std::memset(l, 0, n * sizeof(uint32_t));
        x.sign = 1;
        return kBnOk;
    }
    for (size_t i = 0; i + limbShift < n; ++i) {
        uint32_t lo = l[i + limbShift];
        uint32_t hi = i + limbShift + 1 < n ? l[i + limbShift + 1] : 0;
        l[i] = s ? (lo >> s) | (hi << (32 - s)) : lo;
    }
    for (size_t i = n - limbShift; i < n; ++i) l[i] = 0;
    FixSign(x, x.sign);
    return kBnOk;
}

int BnCompareAbs(const BigNum& a, const BigNum& b) { return CompareLimbs(a.limbs, Sig(a), b.limbs, Sig(b)); }

int BnCompare(const BigNum& a, const BigNum& b) {
    int sa = Sgn(a), sb = Sgn(b);
    if (sa != sb) return sa < sb ? -1 : 1;
    int c = BnCompareAbs(a, b);
    return sa < 0 ? -c : c;
}

int BnCompareInt(const BigNum& a, int32_t z) {
    const uint32_t mag = z < 0 ? 0u - static_cast<uint32_t>(z) : static_cast<uint32_t>(z);
    const int sa = Sgn(a), sz = z < 0 ? -1 : 1;
    if (sa != sz) return sa < sz ? -1 : 1;
    const size_t n = Sig(a);
    int c = n > 1 ? 1 : n == 0 ? (mag ? -1 : 0) : (a.limbs[0] < mag ? -1 : a.limbs[0] > mag ? 1 : 0);
    return sa < 0 ? -c : c;
}

int BnAddAbs(BigNum& x, const BigNum& a, const BigNum& b) {
    BigNum t;
    if (int rc = AddMagnitudes(t, a, b)) return rc;
    Swap(x, t);
    return kBnOk;
}

int BnSubAbs(BigNum& x, const BigNum& a, const BigNum& b) {
    if (BnCompareAbs(a, b) < 0) return kBnNegative;
    BigNum t;
    if (int rc = SubMagnitudes(t, a, b)) return rc;
    Swap(x, t);
    return kBnOk;
}

int BnAdd(BigNum& x, const BigNum& a, const BigNum& b) { return AddSigned(x, a, b, Sgn(b)); }

int BnSub(BigNum& x, const BigNum& a, const BigNum& b) { return AddSigned(x, a, b, -Sgn(b)); }

int BnSubInt(BigNum& x, const BigNum& a, int32_t z) {
    BigNum bz;
    if (int rc = BnSet(bz, z)) return rc;
    return BnSub(x, a, bz);
}

int BnMul(BigNum& x, const BigNum& a, const BigNum& b) {
    size_t na = Sig(a), nb = Sig(b);
    BigNum t;
    if (int rc = Fresh(t, na + nb, 1)) return rc;
    for (size_t i = 0; i < na; ++i) {
        u64 c = 0;
        const u64 ai = a.limbs[i];
        for (size_t j = 0; j < nb; ++j) {
            u64 p = ai * b.limbs[j] + t.limbs[i + j] + c;
            t.limbs[i + j] = static_cast<uint32_t>(p);
            c = p >> 32;
        }
        t.limbs[i + nb] = static_cast<uint32_t>(c);
    }
    FixSign(t, Sgn(a) * Sgn(b));
    Swap(x, t);
    return kBnOk;
}

int BnMulInt(BigNum& x, const BigNum& a, int32_t z) {
    BigNum bz;
    if (int rc = BnSet(bz, z)) return rc;
    return BnMul(x, a, bz);
}

int BnDivide(BigNum* q, BigNum* r, const BigNum& a, const BigNum& b) {
    BigNum tq, tr;
    if (int rc = DivideMagnitudes(tq, tr, a, b)) return rc;
    FixSign(tq, Sgn(a) * Sgn(b));
    FixSign(tr, Sgn(a));
    if (q) Swap(*q, tq);
    if (r) Swap(*r, tr);
    return kBnOk;
}

int BnMod(BigNum& r, const BigNum& a, const BigNum& b) {
    BigNum t;
    if (int rc = BnDivide(nullptr, &t, a, b)) return rc;
    while (Sgn(t) < 0)
        if (int rc = AddSigned(t, t, b, 1)) return rc;
    while (BnCompareAbs(t, b) >= 0)
        if (int rc = AddSigned(t, t, b, -1)) return rc;
    Swap(r, t);
    return kBnOk;
}

int BnGcd(BigNum& g, const BigNum& a, const BigNum& b) {
    BigNum u, v;
    if (int rc = BnCopy(u, a)) return rc;
    if (int rc = BnCopy(v, b)) return rc;
    u.sign = v.sign = 1;
    if (Sig(u) == 0) {
        Swap(g, v);
        return kBnOk;
    }
    if (Sig(v) == 0) {
        Swap(g, u);
        return kBnOk;
    }
    size_t tu = BnLowestSetBit(u), tv = BnLowestSetBit(v);
    size_t shift = tu < tv ? tu : tv;
    BnShiftRight(u, tu);
    while (Sig(v) != 0) {
        BnShiftRight(v, BnLowestSetBit(v));
        if (BnCompareAbs(u, v) > 0) Swap(u, v);
        SubInPlace(v, u);
    }
    if (int rc = BnShiftLeft(u, shift)) return rc;
    Swap(g, u);
    return kBnOk;
}

int BnModExp(BigNum& x, const BigNum& a, const BigNum& e, const BigNum& n, BigNum* cache) {
    const size_t nl = Sig(n);
    if (Sgn(n) < 0 || nl == 0 || (n.limbs[0] & 1u) == 0) return kBnBadInput;
    if (Sgn(e) < 0) return kBnBadInput;
    if (nl == 1 && n.limbs[0] == 1) return BnSet(x, 0);
    const size_t bits = BnBitLength(e);
    if (bits == 0) return BnSet(x, 1);

    // With words of two limbs and an odd limb count, our R is one limb larger.
    const size_t m = (nl + kLimbsPerWord - 1) / kLimbsPerWord;
    BigNum base;
    if (int rc = BnMod(base, a, n)) return rc;

    const int w = WindowWidth(bits);
    const size_t tableSize = size_t{1} << (w - 1);
    WordBuffer buf(m * (tableSize + 6) + 2 * m + 2);
    if (!buf.p) return kBnNoMemory;
    Word* nw = buf.p;
    Word* r2 = nw + m;
    Word* acc = r2 + m;
    Word* sq = acc + m;
    Word* one = sq + m;
    Word* table = one + m;
    Word* t = table + tableSize * m;  // product scratch for the sizes without a fixed routine

    ToWords(nw, m, n);
    ToWords(acc, m, base);
    Word inv = nw[0];
    for (int i = 0; i < 6; ++i) inv *= 2 - nw[0] * inv;
    const Word n0 = 0 - inv;
    const MontMulFn mul = SelectMontMul(m);

    // R² mod n for the R = 2^(kWordBits × m) used here. A cached value may have been
    // made for another limb count (a key record carrying a zero limb on top, or our
    // own words being wider than the limbs): it serves only when it is this R²
    // (K·R⁻¹ squared in Montgomery form gives K·R⁻¹ back exactly when K = R² mod n),
    // and is recomputed otherwise.
    bool cached = false;
    if (cache && cache->count > 0 && Sgn(*cache) > 0 && Sig(*cache) > 0 && BnCompareAbs(*cache, n) < 0) {
        ToWords(r2, m, *cache);
        for (size_t k = 0; k < m; ++k) one[k] = 0;
        one[0] = 1;
        mul(sq, r2, one, nw, n0, m, t);
        mul(table, sq, sq, nw, n0, m, t);
        cached = std::memcmp(sq, table, m * sizeof(Word)) == 0;
    }
    if (!cached) {
        // An empty cache gets the constant for the modulus' own limbs, R = 2^(32 × nl).
        BigNum rr;
        if (int rc = BnSet(rr, 1)) return rc;
        if (int rc = BnShiftLeft(rr, 64 * nl)) return rc;
        if (int rc = BnMod(rr, rr, n)) return rc;
        if (cache && cache->count <= 0)
            if (int rc = BnCopy(*cache, rr)) return rc;
        if (m * kLimbsPerWord != nl) {
            if (int rc = BnShiftLeft(rr, 64 * (m * kLimbsPerWord - nl))) return rc;
            if (int rc = BnMod(rr, rr, n)) return rc;
        }
        ToWords(r2, m, rr);
    }

    mul(table, acc, r2, nw, n0, m, t);
    if (tableSize > 1) {
        mul(sq, table, table, nw, n0, m, t);
        for (size_t i = 1; i < tableSize; ++i) mul(table + i * m, table + (i - 1) * m, sq, nw, n0, m, t);
    }

    bool started = false;
    size_t i = bits;
    while (i-- > 0) {
        if (!Bit(e, i)) {
            if (started) mul(acc, acc, acc, nw, n0, m, t);
            continue;
        }
        size_t j = i + 1 >= static_cast<size_t>(w) ? i + 1 - static_cast<size_t>(w) : 0;
        while (!Bit(e, j)) ++j;
        size_t value = 0;
        for (size_t k = i + 1; k-- > j;) value = (value << 1) | (Bit(e, k) ? 1u : 0u);
        const Word* entry = table + (value >> 1) * m;
        if (started) {
            for (size_t k = j; k <= i; ++k) mul(acc, acc, acc, nw, n0, m, t);
            mul(acc, acc, entry, nw, n0, m, t);
        } else {
            std::memcpy(acc, entry, m * sizeof(Word));
            started = true;
        }
        i = j;
    }
    for (size_t k = 0; k < m; ++k) one[k] = 0;
    one[0] = 1;
    mul(acc, acc, one, nw, n0, m, t);

    BigNum out;
    if (int rc = Fresh(out, m * kLimbsPerWord, 1)) return rc;
    for (size_t k = 0; k < m * kLimbsPerWord; ++k)
        out.limbs[k] = static_cast<uint32_t>(static_cast<DWord>(acc[k / kLimbsPerWord]) >> (32 * (k % kLimbsPerWord)));
    Swap(x, out);
    return kBnOk;
}

}  // namespace moldrin::sign
