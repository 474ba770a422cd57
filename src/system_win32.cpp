// system.h on Windows: binary console streams, UTF-16 arguments and file
// names turned into and from UTF-8, file identity by volume serial number
// and file index, and localtime_s, which refuses times before 1970.
#include "system.h"

#include "calendar.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace {

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

HANDLE handleOf(std::FILE* file)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

bool cLocalTime(std::int64_t seconds, std::tm& local)
{
    static const bool ZONE_READ = (_tzset(), true);
    (void)ZONE_READ;
    const auto time = static_cast<std::time_t>(seconds);
    return localtime_s(&local, &time) == 0;
}

}  // namespace

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

std::FILE* openFileToRewrite(const char* path)
{
    const std::wstring widePath = wideFromUtf8(path);
    if (widePath.empty())
        return nullptr;
    // The flags and permissions of _wfopen's "wb", less _O_TRUNC.
    const int descriptor = _wopen(widePath.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (descriptor < 0)
        return nullptr;
    std::FILE* file = _fdopen(descriptor, "wb");  // "w" does not truncate here
    if (file == nullptr)
        _close(descriptor);
    return file;
}

bool truncateFile(std::FILE* file)
{
    // Devices have nothing to drop, nor has an empty file, as a new one is.
    if (GetFileType(handleOf(file)) != FILE_TYPE_DISK || _filelengthi64(_fileno(file)) == 0)
        return true;
    return _chsize_s(_fileno(file), 0) == 0;
}

FileId fileIdOf(std::FILE* file)
{
    BY_HANDLE_FILE_INFORMATION info;
    FileId id;
    HANDLE handle = handleOf(file);
    if (handle == INVALID_HANDLE_VALUE || GetFileInformationByHandle(handle, &info) == 0)
        return id;
    id.known = true;
    id.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    id.device = info.dwVolumeSerialNumber;
    id.number = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    return id;
}

std::tm toLocalTime(std::int64_t seconds)
{
    std::tm local{};
    if (cLocalTime(seconds, local))
        return local;
    return toUtc(seconds);
}
