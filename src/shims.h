// What older C++ libraries lack: libc++ before version 14 (emscripten 3.1.6
// has version 13) has neither std::bit_cast nor floating-point
// std::to_chars. Elsewhere these are the standard functions themselves.
#ifndef QUARVEL_SHIMS_H
#define QUARVEL_SHIMS_H

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdio>

template <typename To, typename From> constexpr To bitCast(const From& from) noexcept
{
#ifdef __cpp_lib_bit_cast
    return std::bit_cast<To>(from);
#else
    return __builtin_bit_cast(To, from);
#endif
}

// Writes `value` as "%.<precision>f" does; returns the end of the text.
// `last` has std::to_chars's type, which one of the branches passes it to.
// cppcheck-suppress constParameter
inline char* toCharsFixed(char* first, char* last, double value, int precision)
{
#if defined(_LIBCPP_VERSION) && _LIBCPP_VERSION < 14000
    // The C library's printf (musl's, under emscripten) is exact as well.
    // Through a buffer with room for the terminator that snprintf adds.
    char text[1 + 309 + 1 + 64 + 1];
    int length = std::snprintf(text, sizeof text, "%.*f", precision, value);
    if (length < 0 || length > last - first || static_cast<std::size_t>(length) >= sizeof text)
        return first;
    return std::copy(text, text + length, first);
#else
    return std::to_chars(first, last, value, std::chars_format::fixed, precision).ptr;
#endif
}

#endif
