// The fuzzer's bytes read as a recipe: one byte at a time for choices, or a
// run of them for texts; past the end everything reads as zero or empty.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace moldrin::fuzz {

class Recipe {
public:
    Recipe(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool more() const { return at_ < size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::string take(size_t n) {
        n = std::min(n, size_ - at_);
        std::string s(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return s;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace moldrin::fuzz
