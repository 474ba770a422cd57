// system.h on POSIX systems (Linux, the BSDs, macOS): byte
// streams as they are, the ignored SIGPIPE, file identity by device and
// inode, and localtime_r.
#include "system.h"

#include "calendar.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

namespace {

FileId fileIdOf(const struct stat& status)
{
    return {.known = true,
        .directory = S_ISDIR(status.st_mode),
        .device = static_cast<std::uint64_t>(status.st_dev),
        .number = static_cast<std::uint64_t>(status.st_ino)};
}

bool cLocalTime(std::int64_t seconds, std::tm& local)
{
    // localtime checks the zone again on every call; localtime_r after one
    // tzset does not, which saves a stat of the zone file per block.
    static const bool ZONE_READ = (tzset(), true);
    (void)ZONE_READ;
    const auto time = static_cast<std::time_t>(seconds);
    return localtime_r(&time, &local) != nullptr;
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

bool truncateFile(std::FILE* file)
{
    const int descriptor = fileno(file);
    struct stat status { };
    if (fstat(descriptor, &status) != 0)
        return false;
    // Devices and pipes have nothing to drop. An empty file, as a new one
    // is, is left alone as O_TRUNC leaves it: ext4 writes a file truncated
    // to 0 back to disk as soon as it is closed (auto_da_alloc).
    if (!S_ISREG(status.st_mode) || status.st_size == 0)
        return true;
    return ftruncate(descriptor, 0) == 0;
}

FileId fileIdOf(std::FILE* file)
{
    struct stat status { };
    return fstat(fileno(file), &status) == 0 ? fileIdOf(status) : FileId{};
}

std::tm toLocalTime(std::int64_t seconds)
{
    std::tm local{};
    if (cLocalTime(seconds, local))
        return local;
    return toUtc(seconds);
}
