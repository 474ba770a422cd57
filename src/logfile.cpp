#include "logfile.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>

// The header is read straight into the record, field for field: floats
// must have the byte order of integers of their width, as on every host
// with IEEE 754 arithmetic that this program targets.
static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559);

void openLogStream(LogStream& stream, std::FILE* file, std::size_t capacity)
{
    // The buffer outlives the file: a run over many files allocates it once.
    if (!stream.data || stream.capacity != capacity) {
        // Left uninitialised (make_unique_for_overwrite, which libc++ lacks
        // before version 16): every byte is read into before it is used.
        stream.data.reset(new unsigned char[capacity]);
        stream.capacity = capacity;
    }
    stream.file = file;
    stream.begin = 0;
    stream.end = 0;
    stream.atEnd = false;
    stream.failed = false;
    // Our own buffer does the buffering; a second copy through stdio's is waste.
    std::setvbuf(file, nullptr, _IONBF, 0);
}

void closeLogStream(LogStream& stream)
{
    if (stream.file != nullptr)
        std::fclose(stream.file);  // read only: nothing to lose
    stream.file = nullptr;
}

std::size_t fillLogStream(LogStream& stream, std::size_t wanted)
{
    // More than the buffer holds can never be made available: a caller's
    // fault, caught in checking builds, and cut to the capacity in others
    // rather than looping for ever.
    assert(wanted <= stream.capacity);
    wanted = std::min(wanted, stream.capacity);
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
    std::memcpy(&header, logStreamBytes(stream), LOG_HEADER_SIZE);
    consumeLogStream(stream, LOG_HEADER_SIZE);
    byteSwap32(&header.adcChan);
    byteSwap32(&header.samplePeriod);
    byteSwap32(&header.firstSampleTime);
    byteSwap32(&header.totalSamples);
    byteSwap32(&header.calGain);
    byteSwap32(&header.calOffset);
    return 1;
}
