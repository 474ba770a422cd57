#include "system.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>

#include <csignal>
#endif

namespace {

constexpr std::int64_t SECONDS_PER_DAY = 86400;

// Days since 1970-01-01 to year, month (1 to 12) and day (1 to 31) of the
// proleptic Gregorian calendar, counted in eras of 400 years (146097 days).
void civilFromDays(std::int64_t days, std::int64_t& year, int& month, int& day)
{
    days += 719468;  // from 0000-03-01, so that leap days end a year
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

#ifdef _WIN32

std::wstring wideFromUtf8(const char* text)
{
    int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), length);
    wide.pop_back();  // the terminator
    return wide;
}

FileId fileIdOf(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    FileId id;
    if (handle == INVALID_HANDLE_VALUE || GetFileInformationByHandle(handle, &info) == 0)
        return id;
    id.known = true;
    id.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    id.device = info.dwVolumeSerialNumber;
    id.number = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    return id;
}

#endif

}  // namespace

#ifdef _WIN32

void prepareConsole()
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

std::vector<std::string> utf8Arguments(int argc, wchar_t** argv)
{
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        int length = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string argument(static_cast<std::size_t>(length > 0 ? length : 1), '\0');
        if (length > 0)
            WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, argument.data(), length, nullptr, nullptr);
        argument.pop_back();  // the terminator
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

std::FILE* openFile(const char* path, const char* mode)
{
    const std::wstring widePath = wideFromUtf8(path);
    const std::wstring wideMode = wideFromUtf8(mode);
    if (widePath.empty())
        return nullptr;
    return _wfopen(widePath.c_str(), wideMode.c_str());
}

FileId fileIdOf(std::FILE* file)
{
    return fileIdOf(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))));
}

FileId fileIdOf(const char* path)
{
    const std::wstring widePath = wideFromUtf8(path);
    HANDLE handle = CreateFileW(widePath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    FileId id = fileIdOf(handle);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return id;
}

namespace {

bool cLocalTime(std::int64_t seconds, std::tm& local)
{
    static const bool ZONE_READ = (_tzset(), true);
    (void)ZONE_READ;
    const auto time = static_cast<std::time_t>(seconds);
    return localtime_s(&local, &time) == 0;
}

}  // namespace

#else

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

namespace {

FileId fileIdOf(const struct stat& status)
{
    return {.known = true,
        .directory = S_ISDIR(status.st_mode),
        .device = static_cast<std::uint64_t>(status.st_dev),
        .number = static_cast<std::uint64_t>(status.st_ino)};
}

}  // namespace

FileId fileIdOf(std::FILE* file)
{
    struct stat status { };
    return fstat(fileno(file), &status) == 0 ? fileIdOf(status) : FileId{};
}

FileId fileIdOf(const char* path)
{
    struct stat status { };
    return stat(path, &status) == 0 ? fileIdOf(status) : FileId{};
}

namespace {

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

#endif

std::tm toUtc(std::int64_t seconds)
{
    std::int64_t days = seconds / SECONDS_PER_DAY;
    std::int64_t secondOfDay = seconds % SECONDS_PER_DAY;
    if (secondOfDay < 0) {
        secondOfDay += SECONDS_PER_DAY;
        --days;
    }
    std::tm utc{};
    std::int64_t year = 0;
    civilFromDays(days, year, utc.tm_mon, utc.tm_mday);
    utc.tm_mon -= 1;
    utc.tm_year = static_cast<int>(year - 1900);
    utc.tm_wday = static_cast<int>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
    utc.tm_hour = static_cast<int>(secondOfDay / 3600);
    utc.tm_min = static_cast<int>(secondOfDay / 60 % 60);
    utc.tm_sec = static_cast<int>(secondOfDay % 60);
    return utc;
}

std::tm toLocalTime(std::int64_t seconds)
{
    std::tm local{};
    if (cLocalTime(seconds, local))
        return local;
    return toUtc(seconds);
}
