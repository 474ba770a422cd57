// A plain copy of many files in one process: the least work that writing
// many small text files can cost. For each FILE it opens it, reads it whole,
// creates FILE followed by SUFFIX, writes it, and closes both.
//
// Usage: quarvel_copy SUFFIX FILE...
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

// One buffer for all files, grown to the largest; C allocation keeps the
// C++ library out of the process, as in the baseline.
struct Buffer {
    char* data = nullptr;
    std::size_t capacity = 0;
};

bool reserve(Buffer& buffer, std::size_t size)
{
    if (size <= buffer.capacity)
        return true;
    char* grown = static_cast<char*>(std::realloc(buffer.data, size));
    if (grown == nullptr)
        return false;
    buffer.data = grown;
    buffer.capacity = size;
    return true;
}

// Reads until the end of the file; returns -1 on an error.
long readWhole(int fd, Buffer& buffer)
{
    struct stat status;
    if (fstat(fd, &status) != 0 || !reserve(buffer, static_cast<std::size_t>(status.st_size) + 1))
        return -1;
    std::size_t size = 0;
    for (;;) {
        if (size == buffer.capacity && !reserve(buffer, 2 * buffer.capacity))
            return -1;
        ssize_t got = read(fd, buffer.data + size, buffer.capacity - size);
        if (got < 0)
            return -1;
        if (got == 0)
            return static_cast<long>(size);
        size += static_cast<std::size_t>(got);
    }
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t put = write(fd, data, size);
        if (put < 0)
            return false;
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

bool copyFile(const char* path, const char* suffix, Buffer& buffer)
{
    char copyPath[4096];
    if (std::snprintf(copyPath, sizeof copyPath, "%s%s", path, suffix) >= static_cast<int>(sizeof copyPath))
        return false;
    int in = open(path, O_RDONLY);
    if (in < 0)
        return false;
    long size = readWhole(in, buffer);
    int out = size < 0 ? -1 : open(copyPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool copied = out >= 0 && writeAll(out, buffer.data, static_cast<std::size_t>(size));
    if (out >= 0 && close(out) != 0)
        copied = false;
    close(in);
    return copied;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: quarvel_copy SUFFIX FILE...\n", stderr);
        return 2;
    }
    Buffer buffer;
    for (int i = 2; i < argc; ++i) {
        if (!copyFile(argv[i], argv[1], buffer)) {
            std::fprintf(stderr, "quarvel_copy: failed to copy %s\n", argv[i]);
            return 1;
        }
    }
    std::free(buffer.data);
    return 0;
}
