// What the program needs of its operating system beyond standard C++: byte
// streams on the console, arguments and file names in UTF-8, opening the
// text file safely, file identity and local time. Windows and POSIX systems
// differ in each: system_win32.cpp and system_posix.cpp implement this
// header, and the build compiles the one for its target.
#ifndef QUARVEL_SYSTEM_H
#define QUARVEL_SYSTEM_H

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

// Makes standard output and error write bytes as given (Windows would turn
// "\n" into "\r\n"), and makes a write to a closed pipe fail with an error
// instead of ending the process.
void prepareConsole();

#ifdef _WIN32
// The arguments of wmain in UTF-8, so that file names outside the ANSI code
// page survive.
std::vector<std::string> utf8Arguments(int argc, wchar_t** argv);
#endif

// Opens a file named in UTF-8, as fopen does.
std::FILE* openFile(const char* path, const char* mode);

// Opens a file named in UTF-8 for writing as fopen's "wb" does, creating it
// if need be, but without emptying it: see truncateFile.
std::FILE* openFileToRewrite(const char* path);

// Empties a file opened by openFileToRewrite. A device or pipe, which has no
// contents to drop, is left alone, as fopen's "wb" leaves it. Returns false
// when the system refused.
bool truncateFile(std::FILE* file);

// What tells files apart: the device (or volume) and the file's number on it.
struct FileId {
    bool known = false;  // false when the system could not say
    bool directory = false;
    std::uint64_t device = 0;
    std::uint64_t number = 0;
};

FileId fileIdOf(std::FILE* file);

// Whether two ids are known to name one file, through a link or otherwise.
inline bool isSameFile(const FileId& a, const FileId& b)
{
    return a.known && b.known && a.device == b.device && a.number == b.number;
}

// `seconds` since the epoch as local time. Where the C library cannot render
// it (Windows' refuses times before 1970), in UTC by our own calendar.
std::tm toLocalTime(std::int64_t seconds);

// What older C++ libraries lack: libc++ before version 14 (emscripten
// 3.1.6 has version 13) has neither std::bit_cast nor floating-point
// std::to_chars. Elsewhere these are the standard functions themselves.
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
