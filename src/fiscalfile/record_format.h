// The fiscal file's one formatter (the printf subset its record formats use,
// zero-padded texts included) and the bounded readers of texts and digit fields.
// Which fields a record holds is the record writers'.
#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

namespace moldrin::fiscalfile {

// One argument of a record format: a text (%s), a number (%u, %d, %I64u) or a character (%c).
struct FormatArg {
    enum class Kind : uint8_t { Text, Number, Char } kind;
    std::string_view text{};
    uint64_t number = 0;
    char c = 0;
};
inline FormatArg Txt(std::string_view s) { return {FormatArg::Kind::Text, s, 0, 0}; }
inline FormatArg Num(uint64_t v) { return {FormatArg::Kind::Number, {}, v, 0}; }
inline FormatArg Chr(char c) { return {FormatArg::Kind::Char, {}, 0, c}; }

// Formats into out (always NUL-terminated, cut to fit) and returns the length.
// Items: %[-][0][W][.P]s pads texts with spaces or, with "0", zeros; %c; %[0][W][.P]u,
// %d and %I64u. A number wider than its field is written as the field's largest
// value, so that no record ever loses its columns; a NUL character is written as
// a blank, so that no record is cut by it. A missing argument is an empty text or 0.
std::size_t FormatRecord(std::span<char> out, const char* format, std::initializer_list<FormatArg> args);

// Writes every byte below 0x20, and 0x7F, of a NUL-terminated record line as a
// space, except the CR LF that closes it. Texts reach the records from commands
// and replies as the application and the printer sent them, and one line break
// inside a field would split its record in the file. Returns the line's length.
std::size_t BlankControlBytes(char* line, std::size_t cap);

// The width of a fiscal file's line of the given type without its CR LF, the
// signature's EAD line included; 0 for a type the file does not have.
std::size_t RecordWidth(std::string_view type);

// A NUL-terminated text of at most cap characters, as a view.
std::string_view TextOf(const char* text, std::size_t cap);
// The characters at [pos, pos + width) of a text; what lies beyond its end reads as
// NUL, so the part is shorter, or empty.
std::string_view Part(std::string_view text, std::size_t pos, std::size_t width);
// The character at pos, NUL beyond the end.
char CharAt(std::string_view text, std::size_t pos);

// Unsigned value of the first n characters of text; 0 when n is 40 or more or
// any of them is not a decimal digit (a text shorter than n counts as such).
uint64_t DigitsValue(std::string_view text, std::size_t n);
// True when the first n characters are all decimal digits.
bool AllDigits(std::string_view text, std::size_t n);

}  // namespace moldrin::fiscalfile
