// Texts the library shows or writes are Windows-1252. They are written
// readable in the UTF-8 source and turned into Windows-1252 bytes while
// compiling: CP1252("NÃO") is a const char* to the bytes 4E C3 4F 00.
#pragma once
#include <cstddef>
#include <cstdint>

namespace moldrin::text {

template <std::size_t N>
struct Cp1252Text {
    char data[N]{};
    std::size_t size = 0;
};

constexpr int Cp1252FromCodePoint(uint32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
    switch (cp) {
        case 0x20AC: return 0x80; case 0x201A: return 0x82; case 0x0192: return 0x83;
        case 0x201E: return 0x84; case 0x2026: return 0x85; case 0x2020: return 0x86;
        case 0x2021: return 0x87; case 0x02C6: return 0x88; case 0x2030: return 0x89;
        case 0x0160: return 0x8A; case 0x2039: return 0x8B; case 0x0152: return 0x8C;
        case 0x017D: return 0x8E; case 0x2018: return 0x91; case 0x2019: return 0x92;
        case 0x201C: return 0x93; case 0x201D: return 0x94; case 0x2022: return 0x95;
        case 0x2013: return 0x96; case 0x2014: return 0x97; case 0x02DC: return 0x98;
        case 0x2122: return 0x99; case 0x0161: return 0x9A; case 0x203A: return 0x9B;
        case 0x0153: return 0x9C; case 0x017E: return 0x9E; case 0x0178: return 0x9F;
        default: return -1;
    }
}

template <std::size_t N>
consteval Cp1252Text<N> ToCp1252(const char (&utf8)[N]) {
    Cp1252Text<N> out{};
    std::size_t o = 0;
    for (std::size_t i = 0; i + 1 < N;) {
        auto b = static_cast<unsigned char>(utf8[i]);
        uint32_t cp = 0;
        std::size_t len = 1;
        if (b < 0x80) cp = b;
        else if ((b & 0xE0) == 0xC0) { cp = b & 0x1F; len = 2; }
        else if ((b & 0xF0) == 0xE0) { cp = b & 0x0F; len = 3; }
        else throw "text is not UTF-8";
        for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        int c = Cp1252FromCodePoint(cp);
        if (c < 0) throw "character has no Windows-1252 form";
        out.data[o++] = static_cast<char>(c);
        i += len;
    }
    out.data[o] = 0;
    out.size = o;
    return out;
}

template <Cp1252Text T>
struct Cp1252Holder {
    static constexpr Cp1252Text value = T;
};

}  // namespace moldrin::text

// A Windows-1252 string literal from a UTF-8 one, converted at compile time.
#define CP1252(s) (::moldrin::text::Cp1252Holder<::moldrin::text::ToCp1252(s)>::value.data)
