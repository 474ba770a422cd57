#include "logfile.h"

#include <algorithm>
#include <bit>
#include <cstring>

// The header is read straight into the record and its fields reversed in
// place, which turns big-endian into host order only on little-endian hosts.
static_assert(std::endian::native == std::endian::little);

void openLogStream(LogStream& stream, std::FILE* file, std::size_t capacity)
{
    stream = LogStream{};
    stream.file = file;
    stream.capacity = capacity;
    stream.data = std::make_unique_for_overwrite<unsigned char[]>(capacity);
    // Our own buffer does the buffering; a second copy through stdio's is waste.
    std::setvbuf(file, nullptr, _IONBF, 0);
}

std::size_t fillLogStream(LogStream& stream, std::size_t wanted)
{
    std::size_t available = stream.end - stream.begin;
    if (available >= wanted || stream.atEnd || stream.failed)
        return available;
    if (stream.begin > 0) {
        std::memmove(stream.data.get(), stream.data.get() + stream.begin, available);
        stream.begin = 0;
        stream.end = available;
    }
    while (stream.end < wanted && !stream.atEnd && !stream.failed) {
        std::size_t room = stream.capacity - stream.end;
        std::size_t got = std::fread(stream.data.get() + stream.end, 1, room, stream.file);
        stream.end += got;
        // fread comes back short only at the end of the file or on an error.
        if (got < room) {
            if (std::ferror(stream.file))
                stream.failed = true;
            else
                stream.atEnd = true;
        }
    }
    return stream.end - stream.begin;
}

int readLogFileHeader(LogFileHeader& header, LogStream& stream)
{
    if (fillLogStream(stream, LOG_HEADER_SIZE) < LOG_HEADER_SIZE)
        return 0;
    std::memcpy(&header, stream.data.get() + stream.begin, LOG_HEADER_SIZE);
    stream.begin += LOG_HEADER_SIZE;
    byteSwap32(&header.adcChan);
    byteSwap32(&header.samplePeriod);
    byteSwap32(&header.firstSampleTime);
    byteSwap32(&header.totalSamples);
    byteSwap32(&header.calGain);
    byteSwap32(&header.calOffset);
    return 1;
}
