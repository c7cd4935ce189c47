// Writing fields into a simulated status record: shared by the record builders.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "ops/command_layout.h"

namespace moldrin::sim {

constexpr std::size_t kRecord = 128;

// Writes text at a position, cut or blank-filled to width, never over the "}".
inline void Put(std::string& r, std::size_t at, const std::string& text, std::size_t width) {
    for (std::size_t i = 0; i < width && at + i < kRecord - 1; ++i) r[at + i] = i < text.size() ? text[i] : ' ';
}

// v as width digits, zero-filled; only the low digits when it is wider.
inline std::string Digits(uint64_t v, int width) {
    char b[32];
    std::snprintf(b, sizeof b, "%0*llu", width, static_cast<unsigned long long>(v));
    std::string s = b;
    return s.size() > static_cast<std::size_t>(width) ? s.substr(s.size() - static_cast<std::size_t>(width)) : s;
}

// A number at a field of the shared layouts, as many digits as the field is wide.
inline void Put(std::string& r, ops::layout::Field f, uint64_t v) {
    Put(r, f.at, Digits(v, static_cast<int>(f.width)), f.width);
}
inline void Put(std::string& r, ops::layout::Field f, const std::string& text) { Put(r, f.at, text, f.width); }

}  // namespace moldrin::sim
