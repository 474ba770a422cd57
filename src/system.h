// What the program needs of its operating system beyond standard C++: byte
// streams on the console, arguments and file names in UTF-8, opening the
// text file safely, file identity, local time, and a host that hears of
// each file's outcome. Windows and POSIX systems differ in each:
// system_win32.cpp implements this header on Windows; system_posix.cpp
// with localtime_posix.cpp on POSIX systems; under emscripten
// system_posix.cpp with system_emscripten.cpp (and its .js), whose local
// time and host are its own. The build compiles those for its target.
#ifndef QUARVEL_SYSTEM_H
#define QUARVEL_SYSTEM_H

#include "outcome.h"

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

// What tells files apart: the device (or volume) and the file's number on
// it, which is 128 bits wide on some file systems (ReFS).
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t numberHigh = 0;
    std::uint64_t numberLow = 0;

    friend auto operator<=>(const FileId&, const FileId&) = default;
};

// What the system says of a file.
struct FileStatus {
    bool known = false;  // false when the system could not say: the rest means nothing
    bool directory = false;
    bool regular = false;      // a file of contents: no folder, device or pipe
    bool hasContents = false;  // a regular file that is not empty
    FileId id;
};

// Of an open file.
FileStatus fileStatusOf(std::FILE* file);

// Of the file that `path` names, through symbolic links, which is the file
// that opening the path reads or writes. The file is not opened for reading
// or writing: a FIFO would wait for its other end.
FileStatus fileStatusAt(const char* path);

// Whether two statuses are known to be of one file, through a link or otherwise.
inline bool isSameFile(const FileStatus& a, const FileStatus& b)
{
    return a.known && b.known && a.id == b.id;
}

// Empties a file opened by openFileToRewrite, whose status is `status`. A
// device or pipe, which has no contents to drop, is left alone, as fopen's
// "wb" leaves it, and so is an empty file. Returns false when the system
// refused, with errno saying why.
bool truncateFile(std::FILE* file, const FileStatus& status);

// Hands what became of file operand `index` (from 0) to the program's host,
// where one listens: under emscripten, the web page's worker, which shows
// each file's outcome from it. Elsewhere nothing listens: standard error
// says it all.
void noteOutcome(int index, const FileOutcome& outcome);

// `seconds` since the epoch as local time. Where the C library cannot render
// it (Windows' refuses times before 1970), in UTC by our own calendar.
std::tm toLocalTime(std::int64_t seconds);

#endif
