// system.h's console and files on POSIX systems (Linux, the BSDs, macOS,
// and emscripten's C library): byte streams as they are, the ignored
// SIGPIPE, file identity by device and inode, no host to hear of outcomes.
// Local time is in localtime_posix.cpp; under emscripten, local time and
// the host are in system_emscripten.cpp.
#include "system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

namespace {

FileStatus fileStatusOf(const struct stat& status)
{
    return {.known = true,
        .directory = S_ISDIR(status.st_mode),
        .regular = S_ISREG(status.st_mode),
        .hasContents = S_ISREG(status.st_mode) && status.st_size > 0,
        .id = {.device = static_cast<std::uint64_t>(status.st_dev),
            .numberHigh = 0,
            .numberLow = static_cast<std::uint64_t>(status.st_ino)}};
}

}  // namespace

void prepareConsole()
{
    // A reader that goes away (quarvel -d logs/* | head) must not stop the
    // conversion: the text files are the product.
    std::signal(SIGPIPE, SIG_IGN);
}

std::FILE* openFile(const char* path, const char* mode)
{
    return std::fopen(path, mode);
}

std::FILE* openFileToRewrite(const char* path)
{
    // The flags and permissions of fopen's "wb", less O_TRUNC.
    const int descriptor = open(path, O_WRONLY | O_CREAT, 0666);
    if (descriptor < 0)
        return nullptr;
    std::FILE* file = fdopen(descriptor, "wb");  // "w" does not truncate here
    if (file == nullptr)
        close(descriptor);
    return file;
}

bool truncateFile(std::FILE* file, const FileStatus& status)
{
    // Devices and pipes have nothing to drop. An empty file, as a new one
    // is, is left alone as O_TRUNC leaves it: ext4 writes a file truncated
    // to 0 back to disk as soon as it is closed (auto_da_alloc). A file of
    // unknown status is emptied, which fails on what cannot be.
    if (status.known && !status.hasContents)
        return true;
    return ftruncate(fileno(file), 0) == 0;
}

FileStatus fileStatusOf(std::FILE* file)
{
    struct stat status { };
    return fstat(fileno(file), &status) == 0 ? fileStatusOf(status) : FileStatus{};
}

#ifndef __EMSCRIPTEN__  // whose host listens: system_emscripten.cpp
void noteOutcome(int /*index*/, const FileOutcome& /*outcome*/) { }
#endif

FileStatus fileStatusAt(const char* path)
{
    struct stat status { };
    return stat(path, &status) == 0 ? fileStatusOf(status) : FileStatus{};
}
