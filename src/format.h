// Number formatting that equals the C library's printf conversions in the C
// locale, whatever locale the process has, and much faster than printf.
#ifndef QUARVEL_FORMAT_H
#define QUARVEL_FORMAT_H

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

// Room that formatFixed may need: "-", 309 integer digits of DBL_MAX, ".",
// and up to nine decimals.
constexpr std::size_t FIXED_MAX_CHARS = 1 + 309 + 1 + 9;
constexpr std::size_t INT_MAX_CHARS = 20;
// The most that formatInt writes for an `Integer`: the digits of its largest
// value, and a minus sign if it has one.
template <typename Integer>
constexpr std::size_t INT_CHARS
    = std::numeric_limits<Integer>::digits10 + 1 + (std::numeric_limits<Integer>::is_signed ? 1 : 0);

// Writes `value` as "%.<precision>f" does (precision 0 to 9) and returns the
// end of the text.
char* formatFixed(char* out, double value, int precision);

template <typename Integer> char* formatInt(char* out, Integer value)
{
    return std::to_chars(out, out + INT_MAX_CHARS, value).ptr;
}

void appendFixed(std::string& text, double value, int precision);

template <typename Integer> void appendInt(std::string& text, Integer value)
{
    char digits[INT_MAX_CHARS];
    text.append(digits, formatInt(digits, value));
}

#endif
