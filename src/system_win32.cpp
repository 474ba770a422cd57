// system.h on Windows: binary console streams, UTF-16 arguments and file
// names turned into and from UTF-8, file identity by volume serial number
// and file id, and localtime_s, which refuses times before 1970.
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

#include <cerrno>

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

// Sixteen bytes, least significant first, as two 64-bit halves.
void numberFromBytes(const BYTE (&bytes)[16], FileId& id)
{
    for (int i = 15; i >= 8; --i)
        id.numberHigh = id.numberHigh << 8 | bytes[i];
    for (int i = 7; i >= 0; --i)
        id.numberLow = id.numberLow << 8 | bytes[i];
}

FileStatus statusOfHandle(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    FileStatus status;
    if (handle == INVALID_HANDLE_VALUE || GetFileInformationByHandle(handle, &info) == 0)
        return status;  // a console, a pipe, a device
    status.known = true;
    status.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status.regular = !status.directory;  // a device or pipe has no such information
    status.hasContents = status.regular && (info.nFileSizeHigh != 0 || info.nFileSizeLow != 0);
    // The 128-bit id where the system gives it (Windows 8 on): ReFS's 64-bit
    // index is not unique. Else the 64-bit index, as NTFS's 128-bit id holds it.
    FILE_ID_INFO idInfo;
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &idInfo, sizeof idInfo) != 0) {
        status.id.device = idInfo.VolumeSerialNumber;
        numberFromBytes(idInfo.FileId.Identifier, status.id);
    } else {
        status.id.device = info.dwVolumeSerialNumber;
        status.id.numberLow = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    }
    return status;
}

// What _wfopen and _wopen say of a folder is EACCES, as of a file without
// permission; POSIX systems say EISDIR. Makes it EISDIR here too.
void tellFoldersApart(const std::wstring& widePath)
{
    if (errno != EACCES)
        return;
    const DWORD attributes = GetFileAttributesW(widePath.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        errno = EISDIR;
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
    if (widePath.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    std::FILE* file = _wfopen(widePath.c_str(), wideMode.c_str());
    if (file == nullptr)
        tellFoldersApart(widePath);
    return file;
}

std::FILE* openFileToRewrite(const char* path)
{
    const std::wstring widePath = wideFromUtf8(path);
    if (widePath.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    // The flags and permissions of _wfopen's "wb", less _O_TRUNC.
    const int descriptor = _wopen(widePath.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (descriptor < 0) {
        tellFoldersApart(widePath);
        return nullptr;
    }
    std::FILE* file = _fdopen(descriptor, "wb");  // "w" does not truncate here
    if (file == nullptr) {
        const int error = errno;
        _close(descriptor);
        errno = error;
    }
    return file;
}

bool truncateFile(std::FILE* file, const FileStatus& status)
{
    // Devices have nothing to drop, nor has an empty file, as a new one is.
    if ((status.known && !status.hasContents) || GetFileType(handleOf(file)) != FILE_TYPE_DISK)
        return true;
    const errno_t error = _chsize_s(_fileno(file), 0);
    errno = error;
    return error == 0;
}

FileStatus fileStatusOf(std::FILE* file)
{
    return statusOfHandle(handleOf(file));
}

FileStatus fileStatusAt(const char* path)
{
    const std::wstring widePath = wideFromUtf8(path);
    if (widePath.empty())
        return {};
    // No access asked for: the file is neither read nor written. Backup
    // semantics open folders too; links are followed, as opening does.
    HANDLE handle = CreateFileW(widePath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return {};
    const FileStatus status = statusOfHandle(handle);
    CloseHandle(handle);
    return status;
}

void noteOutcome(int /*index*/, const FileOutcome& /*outcome*/) { }

std::tm toLocalTime(std::int64_t seconds)
{
    std::tm local{};
    if (cLocalTime(seconds, local))
        return local;
    return toUtc(seconds);
}
