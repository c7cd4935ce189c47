// A line whose stored record comes out as long as the encoder allows.
#pragma once
#include <string>

#include "store/rfd_codec.h"

namespace moldrin::capture {

// Builds the line of `length` characters whose record comes out longest: each
// character is chosen so that its position scrambles to a byte that must be
// escaped. Nothing in it forms a run or a group of digits; it stops short of
// `length` when the 512 positions are used up.
inline std::string WorstLine(std::size_t length) {
    std::string reversed;
    std::size_t k = 0;
    auto escapes = [](unsigned v, std::size_t at) {
        unsigned b = (v - at - 0x7E) & 0xFF;
        return b == 0 || b == 4 || b == 0x0A || b == 0x0D;
    };
    while (reversed.size() < length && k < kRfdPositionsMax) {
        bool placed = false;
        for (unsigned v = 0x20; v <= 0xFF && !placed; ++v) {
            if (!escapes(v, k) || (v >= '0' && v <= '9')) continue;
            std::size_t r = reversed.size();
            if (r >= 1 && static_cast<unsigned char>(reversed[r - 1]) == v) continue;
            reversed += static_cast<char>(v);
            k += 1;
            placed = true;
        }
        if (placed) continue;
        // No single character escapes here: a control byte takes two positions,
        // the second of which may.
        if (k + 2 > kRfdPositionsMax) break;
        unsigned best = 0x01;
        for (unsigned c = 0x01; c < 0x20; ++c)
            if (escapes(c | 0x80, k + 1)) best = c;
        reversed += static_cast<char>(best);
        k += 2;
    }
    return std::string(reversed.rbegin(), reversed.rend());
}

}  // namespace moldrin::capture
