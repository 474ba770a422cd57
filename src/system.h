// What the program needs of its operating system beyond standard C++: byte
// streams on the console, arguments and file names in UTF-8, opening the
// text file safely, file identity and local time. Windows and POSIX systems
// differ in each: system_win32.cpp and system_posix.cpp implement this
// header, and the build compiles the one for its target.
#ifndef QUARVEL_SYSTEM_H
#define QUARVEL_SYSTEM_H

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

#endif
