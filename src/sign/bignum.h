// Signed multi-precision integers on 32-bit limbs for the RSA operations:
// arithmetic, division, GCD and Montgomery exponentiation. Keys and files are rsa/ead's.
#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace moldrin::sign {

// Error codes of the arithmetic; 0 is success.
enum BnError : int {
    kBnOk = 0,
    kBnNoMemory = 1,
    kBnBadInput = 4,        // modular exponentiation: negative or even modulus, negative exponent
    kBnBufferTooSmall = 6,  // export: the needed size comes back through the size argument
    kBnNegative = 8,        // unsigned subtraction would go below zero
    kBnDivideByZero = 10,
};

// A number owns its limbs; releasing (or destroying) it wipes them first, since
// most numbers here held key material at some point.
struct BigNum {
    int32_t sign = 0;   // 1 or -1; 0 only while it never held a value
    int32_t count = 0;  // limbs allocated, not the significant length
    uint32_t* limbs = nullptr;

    BigNum() = default;
    ~BigNum();
    BigNum(const BigNum&) = delete;
    BigNum& operator=(const BigNum&) = delete;
    BigNum(BigNum&& other) noexcept;
    BigNum& operator=(BigNum&& other) noexcept;
};

void BnInit(std::initializer_list<BigNum*> numbers);
void BnRelease(std::initializer_list<BigNum*> numbers);
void BnRelease(BigNum& x);
int BnGrow(BigNum& x, int32_t limbs);

int BnCopy(BigNum& x, const BigNum& a);
int BnSet(BigNum& x, int32_t z);
int BnImport(BigNum& x, const uint8_t* bytes, size_t n);
int BnExport(const BigNum& x, uint8_t* bytes, size_t* size);

size_t BnSignificantLimbs(const BigNum& x);
size_t BnBitLength(const BigNum& x);
size_t BnLowestSetBit(const BigNum& x);
int BnShiftLeft(BigNum& x, size_t bits);
int BnShiftRight(BigNum& x, size_t bits);

int BnCompareAbs(const BigNum& a, const BigNum& b);
int BnCompare(const BigNum& a, const BigNum& b);
int BnCompareInt(const BigNum& a, int32_t z);

int BnAddAbs(BigNum& x, const BigNum& a, const BigNum& b);
int BnSubAbs(BigNum& x, const BigNum& a, const BigNum& b);  // kBnNegative when |a| < |b|
int BnAdd(BigNum& x, const BigNum& a, const BigNum& b);
int BnSub(BigNum& x, const BigNum& a, const BigNum& b);
int BnSubInt(BigNum& x, const BigNum& a, int32_t z);
int BnMul(BigNum& x, const BigNum& a, const BigNum& b);
int BnMulInt(BigNum& x, const BigNum& a, int32_t z);

// a = q × b + r with q truncated toward zero and r taking a's sign; q or r may be null.
int BnDivide(BigNum* q, BigNum* r, const BigNum& a, const BigNum& b);
// r := a mod |b|, in 0 ≤ r < |b|.
int BnMod(BigNum& r, const BigNum& a, const BigNum& b);
// x := a^e mod n. cache, when given, keeps R² mod n across calls: an empty one is
// filled (R = 2^(32 × significant limbs of n)); one with limbs is used only when it
// is the R² this call works with, whatever limb count it was made for, else recomputed.
int BnModExp(BigNum& x, const BigNum& a, const BigNum& e, const BigNum& n, BigNum* cache);
// g := gcd(|a|, |b|).
int BnGcd(BigNum& g, const BigNum& a, const BigNum& b);

// Overwrites memory that held key material so the compiler cannot drop the writes.
void SecureWipe(void* p, size_t n);

}  // namespace moldrin::sign
