// The record formatter and the bounded text readers: every read of a fixed
// position stops at the end of its text, never past a buffer.
#include "fiscalfile/record_format.h"

#include <cstring>

namespace moldrin::fiscalfile {

namespace {

class Writer {
public:
    explicit Writer(std::span<char> out) : out_(out) {}
    void Put(char c) {
        if (n_ + 1 < out_.size()) out_[n_] = c;
        ++n_;
    }
    // Whole runs at once: a day's fiscal file is tens of thousands of records.
    void Repeat(char c, std::size_t k) {
        if (const std::size_t r = Room(k)) std::memset(out_.data() + n_, c, r);
        n_ += k;
    }
    void Append(const char* text, std::size_t k) {
        if (const std::size_t r = Room(k)) std::memcpy(out_.data() + n_, text, r);
        n_ += k;
    }
    std::size_t Finish() {
        if (out_.empty()) return 0;
        const std::size_t end = n_ < out_.size() ? n_ : out_.size() - 1;
        out_[end] = 0;
        return end;
    }

private:
    // How many of k characters from here still fit before the NUL's place.
    std::size_t Room(std::size_t k) const {
        if (n_ + 1 >= out_.size()) return 0;
        const std::size_t left = out_.size() - 1 - n_;
        return k < left ? k : left;
    }

    std::span<char> out_;
    std::size_t n_ = 0;
};

struct Conversion {
    bool left = false, zero = false;
    std::size_t width = 0;
    bool hasPrecision = false;
    std::size_t precision = 0;
};

void PutText(Writer& w, const Conversion& s, std::string_view text) {
    std::size_t k = text.size();
    if (s.hasPrecision && k > s.precision) k = s.precision;
    // The text ends at its NUL even when the view runs on.
    if (k > 0)
        if (const void* nul = std::memchr(text.data(), 0, k))
            k = static_cast<std::size_t>(static_cast<const char*>(nul) - text.data());
    const std::size_t pad = s.width > k ? s.width - k : 0;
    if (!s.left) w.Repeat(s.zero ? '0' : ' ', pad);
    w.Append(text.data(), k);
    if (s.left) w.Repeat(' ', pad);
}

void PutNumber(Writer& w, const Conversion& s, uint64_t v) {
    char digits[24];
    std::size_t k = 0;
    do {
        digits[k++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v && k < sizeof digits);
    std::size_t least = s.hasPrecision ? s.precision : 0;
    if (s.zero && !s.left && s.width > least) least = s.width;
    if (s.width > 0 && k > s.width) {
        // Wider than the field: the field's largest value keeps the columns.
        w.Repeat('9', s.width);
        return;
    }
    const std::size_t shown = k > least ? k : least;
    const std::size_t pad = s.width > shown ? s.width - shown : 0;
    if (!s.left) w.Repeat(' ', pad);
    w.Repeat('0', shown - k);
    while (k) w.Put(digits[--k]);
    if (s.left) w.Repeat(' ', pad);
}

std::size_t Number(const char*& f) {
    std::size_t v = 0;
    while (*f >= '0' && *f <= '9') v = v * 10 + static_cast<std::size_t>(*f++ - '0');
    return v;
}

}  // namespace

std::size_t FormatRecord(std::span<char> out, const char* format, std::initializer_list<FormatArg> args) {
    Writer w(out);
    const FormatArg* arg = args.begin();
    auto next = [&]() -> const FormatArg* { return arg != args.end() ? arg++ : nullptr; };
    for (const char* f = format; f && *f; ++f) {
        if (*f != '%') {
            w.Put(*f);
            continue;
        }
        ++f;
        if (*f == '%') {
            w.Put('%');
            continue;
        }
        Conversion s;
        for (;; ++f) {
            if (*f == '-') s.left = true;
            else if (*f == '0') s.zero = true;
            else break;
        }
        s.width = Number(f);
        if (*f == '.') {
            ++f;
            s.hasPrecision = true;
            s.precision = Number(f);
        }
        if (f[0] == 'I' && f[1] == '6' && f[2] == '4') f += 3;
        const FormatArg* a = next();
        switch (*f) {
            case 's': PutText(w, s, a && a->kind == FormatArg::Kind::Text ? a->text : std::string_view{}); break;
            case 'c': {
                const char c = a ? (a->kind == FormatArg::Kind::Char ? a->c : static_cast<char>(a->number)) : 0;
                Conversion one = s;
                one.hasPrecision = false;
                const char shown = c ? c : ' ';
                PutText(w, one, std::string_view(&shown, 1));
                break;
            }
            case 'u':
            case 'd': PutNumber(w, s, a && a->kind != FormatArg::Kind::Text ? a->number : 0); break;
            default:
                if (!*f) return w.Finish();
                break;
        }
    }
    return w.Finish();
}

std::size_t BlankControlBytes(char* line, std::size_t cap) {
    if (!line) return 0;
    const std::size_t n = strnlen(line, cap);
    const std::size_t body = n >= 2 && line[n - 2] == '\r' && line[n - 1] == '\n' ? n - 2 : n;
    for (std::size_t i = 0; i < body; ++i) {
        const auto b = static_cast<unsigned char>(line[i]);
        if (b < 0x20 || b == 0x7F) line[i] = ' ';
    }
    return n;
}

std::size_t RecordWidth(std::string_view type) {
    struct Entry {
        const char* type;
        std::size_t width;
    };
    static constexpr Entry kWidths[] = {{"E00", 297}, {"E01", 166}, {"E02", 272}, {"E12", 101}, {"E13", 72},
                                        {"E14", 191}, {"E15", 267}, {"E16", 90},  {"E21", 106}, {"EAD", 259}};
    for (const Entry& e : kWidths)
        if (type == e.type) return e.width;
    return 0;
}

std::string_view TextOf(const char* text, std::size_t cap) {
    if (!text) return {};
    return {text, strnlen(text, cap)};
}

std::string_view Part(std::string_view text, std::size_t pos, std::size_t width) {
    if (pos >= text.size()) return {};
    std::string_view p = text.substr(pos, width);
    const std::size_t nul = p.find('\0');
    return nul == std::string_view::npos ? p : p.substr(0, nul);
}

char CharAt(std::string_view text, std::size_t pos) { return pos < text.size() ? text[pos] : '\0'; }

bool AllDigits(std::string_view text, std::size_t n) {
    if (text.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

uint64_t DigitsValue(std::string_view text, std::size_t n) {
    if (n >= 40 || !AllDigits(text, n)) return 0;
    uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = v * 10 + static_cast<uint64_t>(text[i] - '0');
    return v;
}

}  // namespace moldrin::fiscalfile
